// What the tests of the conversation programs share: a scratch directory,
// the programs started on simulated cards, and the test's own UDP ends
// standing in for the daemon, the answering program or the caller.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "card_record.hpp"
#include "harness.hpp"
#include "protocol.hpp"

namespace voxaria::test {

// The times a card was opened for playback, from its log.
inline std::vector<report::CardEvent> playback_opens(const Card& card) {
  std::vector<report::CardEvent> opens;
  for (const auto& e : report::events_of_kind(report::read_card_log(card.log()), "open"))
    if (e.has("mode", "w") && !e.fields.contains("error")) opens.push_back(e);
  return opens;
}

class Conversation : public testing::Test {
 protected:
  ScratchDir dir;

  static constexpr const char* fast_card = "SIMCARD_SPEED=50";  // calibration takes 64 ms

  std::unique_ptr<Process> run(const std::string& program, std::vector<std::string> args,
                               const Card& card, bool close_stdin = false) {
    args.insert(args.begin(), built(program).string());
    return spawn({.argv = args,
                  .env = card.env(),
                  .cwd = dir.path,
                  .output_prefix = dir / card.name,
                  .close_stdin = close_stdin});
  }
  Card card(const std::string& name, std::vector<std::string> settings = {fast_card}) const {
    return Card{dir.path, name, std::move(settings)};
  }
  static std::vector<std::uint8_t> bytes_of(const char* text, std::size_t size) {
    return {text, text + size};
  }
};

}  // namespace voxaria::test
