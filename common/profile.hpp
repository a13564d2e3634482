// What a conversation program tells the shared call engine about itself,
// filled once after its call set-up.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

namespace voxaria {

struct Profile {
  int call_socket = -1;
  sockaddr_in* peer = nullptr;  // where voice goes; receives record their sender here
  socklen_t* peer_len = nullptr;
  const char* talk_prompt = "";
  const char* farewell = "";
  const char* receive_failure = "";
  const char* calibration_failure = "";
};

extern Profile profile;

}  // namespace voxaria
