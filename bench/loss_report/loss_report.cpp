// loss_report [--noise RMS] [--seed N] [--plain] [--wav DIR] TALK.wav...: what lost voice
// datagrams do to what is heard, worked out offline as a call does it. The
// talker's microphone hears the clips one after another (each at full and at
// half level, with pauses between) in room noise of the given RMS; the
// programs' own squelch decides which blocks are sent (the loud stretches
// and the quiet blocks that end each talk spurt) and their own coder codes
// them as one stream, with the marks and words that bring a listener back
// into step (or, with --plain, without them, as the programs did before). The
// listener decodes what arrives with the programs' decoder, and fills the
// slot of a lost block the talker's next word tells of with the talker's
// last pitch period, as the call does (not with --silent-losses, nor for a
// plain stream). Printed:
// - for a single lost block at every position: how long until what is
//   played stays within 3 steps of the talker's step index (gain within
//   3 dB) and 1% of full scale of the lossless decode's offset, counted in
//   received blocks;
// - for random loss of 1%, 5% and 20% (seeded): the share of received
//   blocks and of received speech blocks within that bound, and the SNR of
//   what is played against the lossless decode.
// The lossless decode is the plain decoder fed every block, which the
// codec tests hold bit for bit against Python's audioop. With --wav DIR it
// also writes what the listener plays at 0%, 1%, 5% and 20% loss (the first
// of the seeded runs), sent blocks in their places and silence between, as
// DIR/loss0.wav, loss1.wav, loss5.wav and loss20.wav, for a speech
// recognizer; and, as DIR/ideal1.wav, ideal5.wav and ideal20.wav, the
// lossless decode with the same blocks silent: what a listener never out
// of step would play.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "adpcm.hpp"
#include "card_record.hpp"
#include "conceal.hpp"
#include "resync.hpp"
#include "squelch.hpp"

namespace {

using voxaria::AdpcmState;
constexpr std::size_t block = 128;
constexpr std::size_t payload = 64;
constexpr double block_seconds = 0.016;
constexpr double offset_bound = 327.67;  // 1% of full scale
constexpr int index_bound = 3;
constexpr double speech_rms = 100;  // a block of the clean clips this loud is speech

struct Sent {
  std::size_t at = 0;  // where in the talk the block was recorded
  std::array<std::uint8_t, payload> codes{};
  std::array<std::int16_t, block> input{};  // what the microphone heard
  AdpcmState coder_after;                   // the talker's state once the block is coded
  bool speech = false;
  bool mark = false;
};

struct Talk {
  std::vector<std::int16_t> heard;   // by the microphone: speech and room
  std::vector<std::int16_t> speech;  // the clips alone
};

Talk make_talk(const std::vector<std::vector<std::int16_t>>& clips, double noise, unsigned seed) {
  Talk t;
  const std::size_t calibration = voxaria::calibration_blocks * block;
  t.speech.assign(calibration + 8000, 0);
  for (double level : {1.0, 0.5})
    for (const auto& clip : clips) {
      for (auto s : clip) t.speech.push_back(static_cast<std::int16_t>(std::lround(s * level)));
      t.speech.insert(t.speech.end(), 6400, 0);  // a pause of 0.8 s
    }
  std::mt19937 random(seed);
  std::normal_distribution<double> gaussian(0, noise);
  for (auto s : t.speech)
    t.heard.push_back(
        static_cast<std::int16_t>(std::clamp(std::lround(s + gaussian(random)), -32768L, 32767L)));
  return t;
}

// The talker's end: calibrates on the first 200 blocks as threshold() does,
// then squelches and codes the rest block by block as talk() does.
std::vector<Sent> send(const Talk& t, bool plain) {
  using namespace voxaria;
  std::size_t at = 0;
  for (; steps < calibration_blocks; ++steps, at += block) {
    std::copy_n(t.heard.begin() + static_cast<long>(at), block, record_buffer.begin());
    if (squelch_buffer(static_cast<int>(block)) == 0) total_average_amplitude += average_amplitude;
  }
  cutoff_amplitude = total_average_amplitude / static_cast<float>(steps) + cutoff_margin;
  std::vector<Sent> sent;
  AdpcmState coder;
  for (; at + block <= t.heard.size(); at += block) {
    std::copy_n(t.heard.begin() + static_cast<long>(at), block, record_buffer.begin());
    if (squelch_buffer(static_cast<int>(block)) != 0) continue;
    Sent s;
    s.at = at;
    s.input = record_buffer;
    if (plain)
      adpcm_coder(record_buffer.data(), s.codes.data(), block, coder);
    else
      s.mark = resync_coder(record_buffer.data(), s.codes.data(), block, coder);
    s.coder_after = coder;
    double power = 0;
    for (std::size_t i = 0; i < block; ++i) power += double(t.speech[at + i]) * t.speech[at + i];
    s.speech = std::sqrt(power / block) >= speech_rms;
    sent.push_back(s);
  }
  return sent;
}

struct Played {
  std::vector<bool> within;  // per sent block (false where lost)
  std::vector<bool> received;
  double error_power = 0, signal_power = 0;
  std::vector<std::int16_t> sound;  // what is played, where it was said
  std::vector<std::int16_t> ideal;  // the lossless decode of what arrived
  std::size_t concealed = 0;         // lost blocks whose slots were filled
};

// The listener's end: every block that is not lost is decoded in turn;
// compared with the lossless decode block by block.
// Lost blocks are filled as the call fills them (when not silent_losses):
// once a loss has been told of, the card is kept fed where it would run dry
// while the talker speaks, up to 3 blocks, which stand for the first lost
// blocks of a run; where the talker's word says a block was lost just before
// one that came, the slot before it is filled too.
Played listen(const std::vector<Sent>& sent, const std::vector<bool>& lost, bool plain,
              std::size_t talk_length = 0, bool silent_losses = false) {
  constexpr std::size_t most_stand_ins = 3;
  voxaria::Listener listener;
  voxaria::Concealer concealer;
  AdpcmState reference;
  Played p;
  p.sound.assign(talk_length, 0);
  p.ideal.assign(talk_length, 0);
  std::array<std::int16_t, block> heard{}, clean{}, last_played{};
  bool stream_loses = false;
  const auto fill = [&](std::size_t slot) {
    std::array<std::int16_t, block> filled{};
    voxaria::conceal(concealer, filled.data(), block);
    voxaria::remember_played(concealer, filled.data(), block);
    last_played = filled;
    ++p.concealed;
    if (sent[slot].at + block <= p.sound.size())
      std::copy(filled.begin(), filled.end(), p.sound.begin() + static_cast<long>(sent[slot].at));
  };
  const auto speaking = [&] { return !voxaria::is_quiet(last_played.data(), block); };
  for (std::size_t b = 0; b < sent.size(); ++b) {
    voxaria::adpcm_decoder(sent[b].codes.data(), clean.data(), block, reference);
    p.received.push_back(!lost[b]);
    if (lost[b]) {
      p.within.push_back(false);
      continue;
    }
    const bool fills = !plain && !silent_losses && b > 0 && lost[b - 1];
    if (fills) {
      std::size_t run = 1;
      while (run < b && lost[b - run - 1]) ++run;
      for (std::size_t i = 0; stream_loses && i + 1 < run && i < most_stand_ins && speaking(); ++i)
        fill(b - run + i);
      if (voxaria::lost_before(sent[b].codes.data(), block, listener)) {
        fill(b - 1);
        stream_loses = true;
      }
    }
    if (plain)
      voxaria::adpcm_decoder(sent[b].codes.data(), heard.data(), block, listener.state);
    else
      voxaria::resync_decoder(sent[b].codes.data(), heard.data(), block, listener);
    std::array<std::int16_t, block> played = heard;
    if (fills) voxaria::resume(concealer, played.data(), block);
    last_played = played;
    voxaria::remember_played(concealer, played.data(), block);
    if (sent[b].at + block <= p.sound.size()) {
      std::copy(played.begin(), played.end(), p.sound.begin() + static_cast<long>(sent[b].at));
      std::copy(clean.begin(), clean.end(), p.ideal.begin() + static_cast<long>(sent[b].at));
    }
    const int apart = listener.state.step_index - sent[b].coder_after.step_index;
    const double gain = std::pow(1.1, apart);
    double heard_mean = 0, clean_mean = 0;
    for (std::size_t i = 0; i < block; ++i) {
      heard_mean += heard[i], clean_mean += clean[i];
      const double e = heard[i] - clean[i];
      p.error_power += e * e;
      p.signal_power += double(clean[i]) * clean[i];
    }
    const double offset = (heard_mean - gain * clean_mean) / block;
    p.within.push_back(std::abs(apart) <= index_bound && std::abs(offset) <= offset_bound);
  }
  return p;
}

// What the coding itself costs, nothing lost: the SNR of the lossless
// decode against the microphone, over every sent block and over speech.
void lossless_cost(const std::vector<Sent>& sent) {
  AdpcmState decoder;
  std::array<std::int16_t, block> clean{};
  double error[2] = {}, signal[2] = {};
  for (const auto& s : sent) {
    voxaria::adpcm_decoder(s.codes.data(), clean.data(), block, decoder);
    for (std::size_t i = 0; i < block; ++i) {
      const double e = clean[i] - s.input[i], x = s.input[i];
      for (int speech = 0; speech <= int(s.speech); ++speech)
        error[speech] += e * e, signal[speech] += x * x;
    }
  }
  std::printf(
      "  nothing lost: SNR of the decode against the microphone %.2f dB, in speech %.2f dB\n",
      10 * std::log10(signal[0] / error[0]), 10 * std::log10(signal[1] / error[1]));
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

// Seconds of received blocks after a loss at lost_at until every block from
// there on stays within the bound for the next 3 s; 3 s when it never does.
double recovery_time(const Played& p, std::size_t lost_at) {
  constexpr std::size_t horizon = 188;
  const std::size_t end = std::min(p.within.size(), lost_at + 1 + horizon);
  std::size_t settled = lost_at + 1;
  for (std::size_t b = lost_at + 1; b < end; ++b)
    if (!p.within[b]) settled = b + 1;
  if (settled >= end && end == lost_at + 1 + horizon) return horizon * block_seconds;
  return static_cast<double>(settled - lost_at - 1) * block_seconds;
}

void single_losses(const std::vector<Sent>& sent, bool plain) {
  std::vector<double> times;
  for (std::size_t lost_at = 20; lost_at + 1 < sent.size(); ++lost_at) {
    std::vector<bool> lost(sent.size(), false);
    lost[lost_at] = true;
    times.push_back(recovery_time(listen(sent, lost, plain), lost_at));
  }
  const auto share = [&](double limit) {
    return 100.0 *
           static_cast<double>(
               std::count_if(times.begin(), times.end(), [&](double t) { return t <= limit; })) /
           static_cast<double>(times.size());
  };
  std::printf(
      "  single lost block, %zu positions: in bound again after median %.2f s, 90%% %.2f s, "
      "95%% %.2f s, max %.2f s; within 0.5 s: %.1f%%, within 2 s: %.1f%%\n",
      times.size(), percentile(times, 0.5), percentile(times, 0.9), percentile(times, 0.95),
      percentile(times, 1.0), share(0.5), share(2.0));
}

void random_losses(const std::vector<Sent>& sent, bool plain, unsigned seed,
                   const std::string& wav_dir, std::size_t talk_length, bool silent_losses) {
  for (int percent : {0, 1, 5, 20}) {
    std::size_t received = 0, within = 0, speech = 0, speech_within = 0, lost_blocks = 0,
                concealed = 0;
    double error = 0, signal = 0, worst_run = 100;
    for (unsigned run = 0; run < 8; ++run) {
      std::mt19937 random(seed + run);
      std::vector<bool> lost(sent.size());
      for (std::size_t b = 0; b < sent.size(); ++b)
        lost[b] = static_cast<int>(random() % 100) < percent;
      const bool write = run == 0 && !wav_dir.empty();
      const Played p = listen(sent, lost, plain, write ? talk_length : 0, silent_losses);
      lost_blocks += static_cast<std::size_t>(std::count(lost.begin(), lost.end(), true));
      concealed += p.concealed;
      if (write) {
        const std::string name = std::to_string(percent) + ".wav";
        voxaria::report::write_wav(wav_dir + "/loss" + name, p.sound);
        if (percent > 0) voxaria::report::write_wav(wav_dir + "/ideal" + name, p.ideal);
      }
      std::size_t run_speech = 0, run_speech_within = 0;
      for (std::size_t b = 0; b < sent.size(); ++b) {
        if (!p.received[b]) continue;
        ++received;
        within += p.within[b];
        if (!sent[b].speech) continue;
        ++run_speech;
        run_speech_within += p.within[b];
      }
      speech += run_speech;
      speech_within += run_speech_within;
      worst_run = std::min(worst_run, 100.0 * static_cast<double>(run_speech_within) /
                                          static_cast<double>(std::max<std::size_t>(run_speech, 1)));
      error += p.error_power;
      signal += p.signal_power;
    }
    std::printf(
        "  loss %2d%%: within the bound %.1f%% of received blocks, %.1f%% of speech "
        "blocks (%.1f%% in the worst of 8 runs); SNR against the lossless decode %.1f dB",
        percent, 100.0 * static_cast<double>(within) / static_cast<double>(received),
        100.0 * static_cast<double>(speech_within) /
            static_cast<double>(std::max<std::size_t>(speech, 1)),
        worst_run,
        10 * std::log10(std::max(signal, 1.0) / std::max(error, 1.0)));
    if (lost_blocks > 0 && !plain && !silent_losses)
      std::printf("; %.0f%% of the lost blocks filled",
                  100.0 * static_cast<double>(concealed) / static_cast<double>(lost_blocks));
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  double noise = 20;
  unsigned seed = 1;
  bool plain = false, silent_losses = false;
  std::string wav_dir;
  std::vector<std::vector<std::int16_t>> clips;
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "--noise" && a + 1 < argc) {
      noise = std::strtod(argv[++a], nullptr);
    } else if (arg == "--seed" && a + 1 < argc) {
      seed = static_cast<unsigned>(std::strtoul(argv[++a], nullptr, 10));
    } else if (arg == "--wav" && a + 1 < argc) {
      wav_dir = argv[++a];
    } else if (arg == "--plain") {
      plain = true;
    } else if (arg == "--silent-losses") {
      silent_losses = true;
    } else {
      clips.push_back(voxaria::report::read_wav(arg));
      if (clips.back().size() < block) {
        std::fprintf(stderr, "loss_report: %s is not a 16-bit mono WAV clip\n", argv[a]);
        return 1;
      }
    }
  }
  if (clips.empty()) {
    std::fprintf(stderr,
                 "usage: loss_report [--noise RMS] [--seed N] [--plain] [--silent-losses] [--wav DIR] "
                 "TALK.wav...\n");
    return 2;
  }
  const Talk talk = make_talk(clips, noise, seed);
  const auto sent = send(talk, plain);
  std::size_t marks = 0, speech = 0;
  for (const auto& s : sent) marks += s.mark, speech += s.speech;
  std::printf("%s, room noise RMS %.0f, seed %u: %zu blocks sent, %zu of them speech, %zu marks\n",
              plain ? "plain stream" : "stream with marks and words", noise, seed, sent.size(),
              speech, marks);
  lossless_cost(sent);
  single_losses(sent, plain);
  random_losses(sent, plain, seed, wav_dir, talk.heard.size(), silent_losses);
  return 0;
}
