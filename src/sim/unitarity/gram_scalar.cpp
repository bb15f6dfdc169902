// The portable block of the unitarity sums: plain loops over the lanes,
// which the compiler may vectorise (lanes are independent, and each keeps
// its k order, so any vector width gives the same bits).
#include "sim/unitarity/gram.hpp"

namespace vantelo::sim {

void gram_block_portable(const Amplitude* const* rows, const float* panel, std::size_t kc,
                         float* acc) {
    for (std::size_t r = 0; r < kGramRows; ++r) {
        float s_re[kGramLanes];
        float s_im[kGramLanes];
        float* out = acc + r * kGramPanelStep;
        for (std::size_t l = 0; l < kGramLanes; ++l) {
            s_re[l] = out[l];
            s_im[l] = out[kGramLanes + l];
        }
        const Amplitude* row = rows[r];
        for (std::size_t k = 0; k < kc; ++k) {
            const Amplitude a = row[k];
            const float* b_re = panel + k * kGramPanelStep;
            const float* b_im = b_re + kGramLanes;
            for (std::size_t l = 0; l < kGramLanes; ++l) {
                float rr = a.re * b_re[l];
                float ii = a.im * b_im[l];
                float ir = a.im * b_re[l];
                float ri = a.re * b_im[l];
                s_re[l] = s_re[l] + (rr + ii);
                s_im[l] = s_im[l] + (ir - ri);
            }
        }
        for (std::size_t l = 0; l < kGramLanes; ++l) {
            out[l] = s_re[l];
            out[kGramLanes + l] = s_im[l];
        }
    }
}

}  // namespace vantelo::sim
