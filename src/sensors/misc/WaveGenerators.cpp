#include "WaveGenerators.h"

#include <cmath>

namespace {

// The noise generators' shared state; see blasterNoiseState.
int64_t rnd = 1;

}  // namespace

int64_t blasterNoiseState() { return rnd; }

void setBlasterNoiseState(int64_t state) { rnd = state; }

sin_wave_generator::sin_wave_generator(double amp, uint64_t wlen, double offset)
    : m_amp(amp), m_wlen(static_cast<double>(wlen) / 2), m_offset(offset) {}

namespace {

// The x87 sine, exact to the last bit of a double for the small arguments a
// wave is sampled at. Taking it from the maths library instead would make
// every run of the daemon load that library, whose start-up alone leaves a
// third of a megabyte resident, for a waveform only blaster mode draws.
double sine(double x) {
    long double r;
    __asm__("fsin" : "=t"(r) : "0"(static_cast<long double>(x)));
    return static_cast<double>(r);
}

}  // namespace

double sin_wave_generator::value(uint64_t s) const {
    return m_offset + m_amp * sine(static_cast<double>(s) / m_wlen);
}

rect_wave_generator::rect_wave_generator(double amp, uint64_t wlen, double offset)
    : m_amp(amp), m_wlen(static_cast<uint32_t>(wlen)), m_offset(offset) {}

double rect_wave_generator::value(uint64_t s) const {
    // A wave without length has no high part to speak of: stay in the middle.
    if (m_wlen == 0) return m_offset;
    const uint64_t r = s % m_wlen;
    const uint64_t h = m_wlen / 2;
    return r < h ? m_offset + m_amp : m_offset - m_amp;
}

noise_generator::noise_generator(double amp, double dn, double offset)
    : m_amp(amp), m_dn(dn), m_offset(offset), m_last(0.0) {}

double noise_generator::value(uint64_t) const {
    // rnd / 32768 - 1 lies in [-1, 1), so a step is below m_dn in size.
    const double step = (static_cast<double>(rnd) * (1.0 / 32768.0) - 1.0) * m_dn;
    rnd = (rnd * 65537 + 97) % 65536;
    double v = m_last + step;
    if (std::fabs(v) > m_amp) v = m_last;
    m_last = v;
    return v + m_offset;
}
