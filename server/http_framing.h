// http_framing.h: the one HTTP/1.1 response this server ever sends.
// Pure function; safe on any thread.
#ifndef OSTREL_SERVER_HTTP_FRAMING_H_
#define OSTREL_SERVER_HTTP_FRAMING_H_

#include <string>
#include <string_view>

namespace ostrel {

// Status line, Content-Type, Content-Length (the body's byte count), Connection: close, an empty
// line, then the body bytes. The body "{}" gives 91 bytes in all.
std::string FrameResponse(std::string_view body);

}  // namespace ostrel

#endif  // OSTREL_SERVER_HTTP_FRAMING_H_
