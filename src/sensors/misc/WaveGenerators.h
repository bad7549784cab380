// Waveform generators that drive the synthetic processes of the top-process
// blaster: a sine wave, a rectangular wave and a bounded random walk. Each
// yields one value per step; the parameters the blaster uses keep every value
// within 0 to 1.
//
// Owned by the sensor that creates them and called only on its thread. The
// random walks of a process share one pseudo-random state (blasterNoiseState).
#pragma once

#include <cstdint>

class wave_generator {
  public:
    virtual ~wave_generator() = default;
    // The waveform at step s.
    virtual double value(uint64_t s) const = 0;
};

// m_offset + m_amp * sin(2 s / wlen): the period is pi * wlen steps.
class sin_wave_generator : public wave_generator {
  public:
    sin_wave_generator(double amp, uint64_t wlen, double offset);
    double value(uint64_t s) const override;

  private:
    double m_amp;
    double m_wlen;  // half the given wave length
    double m_offset;
};

// High (m_offset + m_amp) for the first floor(wlen / 2) steps of each period
// of wlen steps, low (m_offset - m_amp) for the rest.
class rect_wave_generator : public wave_generator {
  public:
    rect_wave_generator(double amp, uint64_t wlen, double offset);
    double value(uint64_t s) const override;

  private:
    double m_amp;
    uint32_t m_wlen;
    double m_offset;
};

// A random walk of steps below m_dn in size that never leaves -m_amp..m_amp;
// the step s is ignored. Each call advances the shared state.
class noise_generator : public wave_generator {
  public:
    noise_generator(double amp, double dn, double offset);
    double value(uint64_t s) const override;

  private:
    double m_amp;
    double m_dn;
    double m_offset;
    mutable double m_last;  // the walk's position; value() advances it
};

// The pseudo-random state shared by every noise_generator of the process
// (starts at 1). Not locked: only the one blaster sensor's thread uses it.
int64_t blasterNoiseState();
void setBlasterNoiseState(int64_t state);
