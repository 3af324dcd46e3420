#pragma once

// Linear congruential generator of uniform numbers in [0, 1). The seed is
// fixed, so every run of a model draws the same sequence.

#include <cstdint>

class CRandomLCG {
public:
    CRandomLCG() = default;

    // Advances the state, x = (a * x + c) mod m, and returns x / m.
    double Next();
    // The number that the latest Next() returned (0 before the first draw).
    double GetLast() const { return m_dLast; }

    int64_t GetA() const { return m_nA; }
    void SetA(int64_t nA) { m_nA = nA; }
    int64_t GetC() const { return m_nC; }
    void SetC(int64_t nC) { m_nC = nC; }
    int64_t GetM() const { return m_nM; }
    // The modulus must be positive: throws std::invalid_argument otherwise
    // (a zero modulus would divide by zero) and keeps the old one.
    void SetM(int64_t nM);

private:
    int64_t m_nM = 4294967296LL;  // 2^32
    int64_t m_nX = 3059911;       // state, the seed at first
    int64_t m_nA = 9379999;
    int64_t m_nC = 14253851;
    double m_dLast = 0.0;
};
