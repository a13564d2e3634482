// Writes the ring sound: two bursts of a soft two-tone trill, as an 8 kHz
// mono Sun audio file in 8-bit mu-law, the form the sound card plays as is.
//
//   make_ring OUTPUT.au

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <vector>

namespace ring {

constexpr int sample_rate = 8000;

// --- G.711 mu-law -------------------------------------------------------------

// Segment-coded logarithm of |x| + 33 (in 14-bit units, here x scaled by 4):
// three bits of segment, four of mantissa, sign on top, all bits inverted.
constexpr int mulaw_bias = 0x84;   // 33 in 14-bit units, scaled to 16-bit
constexpr int mulaw_clip = 32635;  // largest magnitude that still fits after the bias

constexpr int mulaw_segment(int biased) {
  int segment = 7;
  for (int mask = 0x4000; segment > 0 && (biased & mask) == 0; mask >>= 1) --segment;
  return segment;
}

constexpr std::uint8_t mulaw_encode(std::int16_t pcm) {
  const int sign = pcm < 0 ? 0x80 : 0x00;
  const int magnitude =
      std::min(pcm < 0 ? -static_cast<int>(pcm) : static_cast<int>(pcm), mulaw_clip);
  const int biased = magnitude + mulaw_bias;
  const int segment = mulaw_segment(biased);
  const int mantissa = (biased >> (segment + 3)) & 0x0F;
  return static_cast<std::uint8_t>(~(sign | (segment << 4) | mantissa));
}

static_assert(mulaw_encode(0) == 0xFF);
static_assert(mulaw_encode(-1) == 0x7F);
static_assert(mulaw_encode(32767) == 0x80);
static_assert(mulaw_encode(-32768) == 0x00);
static_assert(mulaw_encode(100) == 0xF2);  // 25 in 14-bit units: step 13 of the first segment

// --- the sound ----------------------------------------------------------------

// A major third, low enough to sound warm rather than shrill on a small
// speaker; each tone has a quiet octave to give it body.
constexpr double tone_low = 587.33;   // D5
constexpr double tone_high = 739.99;  // F#5
constexpr double octave_share = 0.22;

constexpr double trill_period = 0.100;  // one low and one high tone
constexpr double trill_fade = 0.012;    // crossfade between them, no clicks
constexpr double burst_length = 0.70;
constexpr double burst_attack = 0.035;
constexpr double burst_release = 0.120;
constexpr std::array<double, 2> burst_starts = {0.02, 1.02};
constexpr double total_length = 1.80;
constexpr double peak_level = 0.63;  // about -4 dBFS

constexpr double pi = std::numbers::pi;

// Raised cosine from 0 to 1 over [0, width].
double smooth_step(double t, double width) {
  if (t <= 0.0) return 0.0;
  if (t >= width) return 1.0;
  return 0.5 - 0.5 * std::cos(pi * t / width);
}

double burst_envelope(double t) {
  return smooth_step(t, burst_attack) * smooth_step(burst_length - t, burst_release);
}

// Weight of the high tone within the trill: 0 for the first half period, 1
// for the second, with raised-cosine crossfades at the changes.
double high_weight(double t) {
  const double half = trill_period / 2;
  const double phase = std::fmod(t, trill_period);
  return phase < half ? smooth_step(phase, trill_fade)
                      : 1.0 - smooth_step(phase - half, trill_fade);
}

double voice(double frequency, double t) {
  return std::sin(2 * pi * frequency * t) + octave_share * std::sin(4 * pi * frequency * t);
}

double trill(double t) {
  const double w = high_weight(t);
  return (1.0 - w) * voice(tone_low, t) + w * voice(tone_high, t);
}

std::vector<double> synthesise() {
  std::vector<double> out(static_cast<std::size_t>(total_length * sample_rate), 0.0);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double t = static_cast<double>(i) / sample_rate;
    for (const double start : burst_starts)
      if (t >= start && t < start + burst_length)
        out[i] += burst_envelope(t - start) * trill(t - start);
  }
  return out;
}

std::vector<std::uint8_t> to_mulaw(const std::vector<double>& sound) {
  double peak = 0.0;
  for (const double x : sound) peak = std::max(peak, std::abs(x));
  const double gain = peak > 0.0 ? peak_level * 32767.0 / peak : 0.0;
  std::vector<std::uint8_t> out;
  out.reserve(sound.size());
  for (const double x : sound)
    out.push_back(mulaw_encode(static_cast<std::int16_t>(std::lround(x * gain))));
  return out;
}

// --- Sun .au ------------------------------------------------------------------

constexpr std::uint32_t au_magic = 0x2e736e64;  // ".snd"
constexpr std::uint32_t au_header_size = 24;
constexpr std::uint32_t au_mulaw_8bit = 1;

void put_big_endian(std::ofstream& out, std::uint32_t value) {
  const std::array<char, 4> bytes = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                                     static_cast<char>(value >> 8), static_cast<char>(value)};
  out.write(bytes.data(), bytes.size());
}

bool write_au(const char* path, const std::vector<std::uint8_t>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (const std::uint32_t field :
       {au_magic, au_header_size, static_cast<std::uint32_t>(data.size()), au_mulaw_8bit,
        static_cast<std::uint32_t>(sample_rate), 1u})
    put_big_endian(out, field);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out.flush());
}

}  // namespace ring

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.au\n", argv[0]);
    return 2;
  }
  if (!ring::write_au(argv[1], ring::to_mulaw(ring::synthesise()))) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
