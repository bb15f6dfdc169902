// The one include of the interpreter's C interface.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
