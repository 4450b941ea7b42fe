// client.cc: the single-flight libsoup client of the helper (see client.h).
#include "companion/client.h"

#include <libsoup/soup.h>

namespace ostrel::window {

// One request and what it owns. It outlives the client when the client goes while it is in
// flight: then `client` is null and the completion only frees it.
struct HelperClient::Request {
  Request(HelperClient* owner, std::optional<bool> change) : client(owner), login(change) {}

  HelperClient* client;
  std::optional<bool> login;  // the change asked, or nothing for the document
  gint64 started = g_get_monotonic_time();
  SoupSession* session = nullptr;
  SoupMessage* message = nullptr;
  GCancellable* cancellable = g_cancellable_new();
  GInputStream* stream = nullptr;
  std::string body;
  bool* freed = nullptr;  // set when freed, for a destructor waiting on it

  ~Request() {
    if (stream) g_object_unref(stream);
    if (message) g_object_unref(message);
    if (session) g_object_unref(session);
    g_object_unref(cancellable);
    if (freed) *freed = true;
  }
};

namespace {

Reply FailureReply(const GError* error) {
  Reply reply;
  reply.failure = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CONNECTION_REFUSED)
                      ? Failure::kRefused
                      : Failure::kNoAnswer;
  reply.detail = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED) ? "no answer in time"
                                                                          : error->message;
  return reply;
}

Reply NoAnswer(std::string detail) { return Reply{Failure::kNoAnswer, "", std::move(detail)}; }

}  // namespace

HelperClient::HelperClient(Callbacks callbacks, int port, ClientTiming timing)
    : callbacks_(std::move(callbacks)),
      base_url_("http://127.0.0.1:" + std::to_string(port)),
      timing_(timing) {
  // The helper is on the loopback: never through a proxy, whatever the environment says.
  GProxyResolver* direct = g_simple_proxy_resolver_new(nullptr, nullptr);
  session_ = soup_session_new_with_options("proxy-resolver", direct, "max-conns", 1, "user-agent",
                                           "Ostrel", nullptr);
  g_object_unref(direct);
}

HelperClient::~HelperClient() {
  ClearTimers();
  if (tick_) g_source_remove(tick_);
  if (in_flight_) {
    // Cancelled operations complete on a later turn of the loop; wait for that here, so that
    // nothing of the request outlives the client.
    bool freed = false;
    in_flight_->client = nullptr;
    in_flight_->freed = &freed;
    g_cancellable_cancel(in_flight_->cancellable);
    while (!freed) g_main_context_iteration(nullptr, TRUE);
  }
  g_object_unref(session_);
}

void HelperClient::Start() {
  if (started_) return;
  started_ = true;
  Send();
}

void HelperClient::SetLoginItem(bool enable) {
  login_queued_ = enable;
  if (started_ && !in_flight_) Schedule(0);
}

void HelperClient::ExpectHelper() {
  expect_helper_ = 10;
  if (started_ && !in_flight_) Schedule(timing_.interval_ms / 2);
}

void HelperClient::Send() {
  auto* request = new Request(this, login_queued_);
  login_queued_.reset();
  const char* path = !request->login   ? "/"
                     : *request->login ? "/loginitem?enable=1"
                                       : "/loginitem?enable=0";
  request->session = SOUP_SESSION(g_object_ref(session_));
  request->message = soup_message_new("GET", (base_url_ + path).c_str());
  in_flight_ = request;
  slow_ = g_timeout_add(timing_.slow_ms, OnSlow, this);
  give_up_ = g_timeout_add(timing_.give_up_ms, OnGiveUp, this);
  soup_session_send_async(session_, request->message, G_PRIORITY_DEFAULT, request->cancellable,
                          OnSent, request);
}

void HelperClient::OnSent(GObject*, GAsyncResult* result, void* data) {
  auto* request = static_cast<Request*>(data);
  GError* error = nullptr;
  request->stream = soup_session_send_finish(request->session, result, &error);
  if (!request->client) {
    if (error) g_error_free(error);
    delete request;
    return;
  }
  if (!request->stream) {
    Reply reply = FailureReply(error);
    g_error_free(error);
    request->client->Finish(request, std::move(reply));
    return;
  }
  const unsigned status = soup_message_get_status(request->message);
  if (status != SOUP_STATUS_OK) {
    request->client->Finish(request, NoAnswer("HTTP status " + std::to_string(status)));
    return;
  }
  g_input_stream_read_bytes_async(request->stream, 64 * 1024, G_PRIORITY_DEFAULT,
                                  request->cancellable, OnRead, request);
}

void HelperClient::OnRead(GObject*, GAsyncResult* result, void* data) {
  auto* request = static_cast<Request*>(data);
  GError* error = nullptr;
  GBytes* bytes = g_input_stream_read_bytes_finish(request->stream, result, &error);
  if (!request->client) {
    if (error) g_error_free(error);
    if (bytes) g_bytes_unref(bytes);
    delete request;
    return;
  }
  if (!bytes) {
    Reply reply = FailureReply(error);
    g_error_free(error);
    request->client->Finish(request, std::move(reply));
    return;
  }
  gsize size = 0;
  const auto* chunk = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  if (size > 0) request->body.append(chunk, size);
  g_bytes_unref(bytes);
  if (size == 0) {
    // libsoup ends a body cut short by the peer's close like a whole one; its length tells.
    SoupMessageHeaders* headers = soup_message_get_response_headers(request->message);
    const bool cut = soup_message_headers_get_encoding(headers) == SOUP_ENCODING_CONTENT_LENGTH &&
                     !soup_message_headers_get_one(headers, "Content-Encoding") &&
                     soup_message_headers_get_content_length(headers) !=
                         static_cast<goffset>(request->body.size());
    request->client->Finish(request, cut ? NoAnswer("answer cut short")
                                         : Reply{std::nullopt, std::move(request->body), ""});
  } else if (request->body.size() > kMaxBodyBytes) {
    request->client->Finish(request, NoAnswer("answer longer than 1 MiB"));
  } else {
    g_input_stream_read_bytes_async(request->stream, 64 * 1024, G_PRIORITY_DEFAULT,
                                    request->cancellable, OnRead, request);
  }
}

int HelperClient::OnSlow(void* data) {
  auto* client = static_cast<HelperClient*>(data);
  client->slow_ = 0;
  if (client->callbacks_.slow) client->callbacks_.slow();
  return G_SOURCE_REMOVE;
}

int HelperClient::OnGiveUp(void* data) {
  auto* client = static_cast<HelperClient*>(data);
  client->give_up_ = 0;
  // The cancelled request completes (and is reported) on a later turn; until then nothing new
  // is sent.
  if (client->in_flight_) g_cancellable_cancel(client->in_flight_->cancellable);
  return G_SOURCE_REMOVE;
}

int HelperClient::OnTick(void* data) {
  auto* client = static_cast<HelperClient*>(data);
  client->tick_ = 0;
  if (!client->in_flight_) client->Send();
  return G_SOURCE_REMOVE;
}

void HelperClient::Finish(Request* request, Reply reply) {
  in_flight_ = nullptr;
  ClearTimers();
  const std::optional<bool> login = request->login;
  const unsigned elapsed_ms =
      static_cast<unsigned>((g_get_monotonic_time() - request->started) / 1000);
  delete request;

  unsigned delay = elapsed_ms < timing_.interval_ms ? timing_.interval_ms - elapsed_ms : 0;
  if (reply.failure == Failure::kRefused) {
    if (expect_helper_ > 0) {
      --expect_helper_;
    } else {
      delay = timing_.absent_ms;
    }
  }
  if (login_queued_) delay = 0;
  Schedule(delay);

  if (login) {
    if (callbacks_.login) callbacks_.login(*login, reply);
  } else if (callbacks_.document) {
    callbacks_.document(reply);
  }
}

void HelperClient::Schedule(unsigned delay_ms) {
  if (tick_) g_source_remove(tick_);
  tick_ = g_timeout_add(delay_ms, OnTick, this);
}

void HelperClient::ClearTimers() {
  if (slow_) g_source_remove(slow_);
  if (give_up_) g_source_remove(give_up_);
  slow_ = give_up_ = 0;
}

}  // namespace ostrel::window
