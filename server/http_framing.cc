// http_framing.cc: builds the framed response in one buffer, so it goes out in one send.
#include "server/http_framing.h"

namespace ostrel {

std::string FrameResponse(std::string_view body) {
  static constexpr std::string_view kHead =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: ";
  static constexpr std::string_view kTail = "\r\nConnection: close\r\n\r\n";
  const std::string length = std::to_string(body.size());
  std::string response;
  response.reserve(kHead.size() + length.size() + kTail.size() + body.size());
  response.append(kHead).append(length).append(kTail).append(body);
  return response;
}

}  // namespace ostrel
