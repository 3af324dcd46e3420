#include "sh_aux/randomlcg.h"

#include <stdexcept>

#include "sh_aux/hpslib.h"

double CRandomLCG::Next() {
    // Product and sum wrap to their low 64 bits; unsigned arithmetic makes
    // that wrap defined for any multiplier and increment. The remainder then
    // keeps the sign of the dividend.
    const uint64_t nSum =
        static_cast<uint64_t>(m_nA) * static_cast<uint64_t>(m_nX) + static_cast<uint64_t>(m_nC);
    m_nX = static_cast<int64_t>(nSum) % m_nM;
    m_dLast = static_cast<double>(m_nX) / static_cast<double>(m_nM);
    return m_dLast;
}

void CRandomLCG::SetM(int64_t nM) {
    if (nM <= 0) {
        throw std::invalid_argument(Format("CRandomLCG: the modulus must be positive, not %lld",
                                           static_cast<long long>(nM)));
    }
    m_nM = nM;
}
