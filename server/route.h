// route.h: what one request asks for, decided from its text alone. Pure function over the
// request text; safe on any thread.
#ifndef OSTREL_SERVER_ROUTE_H_
#define OSTREL_SERVER_ROUTE_H_

#include <optional>
#include <string>
#include <string_view>

namespace ostrel {

// The answer a request gets.
struct Route {
  bool login_item = false;     // the login-item answer (path /loginitem); else the snapshot
  std::optional<bool> enable;  // for the login item: register (true) or unregister (false)
                               // first; nothing when the target carries neither switch
};

// The route of `request` (well-formed UTF-8, possibly empty). Only the request target of the
// first line is looked at: the path "/loginitem" is the login item, with "enable=1" (which
// wins) or "enable=0" anywhere in the target as whole characters; everything else, whatever
// its method or path, is the snapshot.
Route RouteRequest(std::string_view request);

// The login-item answer: {"ok":true,"loginItem":<enabled>}.
std::string LoginItemBody(bool enabled);

}  // namespace ostrel

#endif  // OSTREL_SERVER_ROUTE_H_
