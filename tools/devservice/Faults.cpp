#include "Faults.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <set>
#include <string_view>

namespace vl::dev {
namespace {

template <typename List, typename Key>
auto findPath(const List& list, const std::string& path, Key key) {
  return std::find_if(list.begin(), list.end(),
                      [&](const auto& entry) { return pathMatches(key(entry), path); });
}

const std::string& first(const std::pair<std::string, int>& e) { return e.first; }
const std::string& firstSize(const std::pair<std::string, std::size_t>& e) { return e.first; }
const std::string& self(const std::string& e) { return e; }

// Valid JSON of exactly `bytes` bytes, so a size test fails only on the size.
std::string hugeBody(std::size_t bytes) {
  const std::string head = "{\"pad\":\"";
  const std::string tail = "\"}";
  return head + std::string(bytes - head.size() - tail.size(), 'x') + tail;
}

// Answers with the first misbehaviour configured for the path; false when none is.
bool misbehave(const Faults& faults, Shutdown& shutdown, const std::string& path,
               httplib::Response& res) {
  if (auto f = findPath(faults.fail, path, first); f != faults.fail.end()) {
    res.status = f->second;
    res.set_content("{\"error\":\"injected\",\"status\":" + std::to_string(f->second) + "}",
                    "application/json");
    return true;
  }
  if (auto h = findPath(faults.hugeBytes, path, firstSize); h != faults.hugeBytes.end()) {
    res.set_content(hugeBody(h->second), "application/json");
    return true;
  }
  if (findPath(faults.garbage, path, self) != faults.garbage.end()) {
    res.set_content("{\"streams\": [{\"viewerId\": \"dev-main\", \"label\": tru",
                    "application/json");
    return true;
  }
  if (findPath(faults.redirect, path, self) != faults.redirect.end()) {
    res.set_redirect("/moved" + path, 302);
    return true;
  }
  if (findPath(faults.endless, path, self) != faults.endless.end()) {
    auto chunk = std::make_shared<std::string>("{\"streams\":[");
    res.set_chunked_content_provider(
        "application/json", [chunk, &shutdown](std::size_t, httplib::DataSink& sink) {
          // Paced, so an endless answer does not eat a shared machine's CPU.
          if (!shutdown.sleepFor(std::chrono::milliseconds(5))) return false;
          if (!sink.write(chunk->data(), chunk->size())) return false;
          if (chunk->size() < 16384) {
            chunk->clear();
            while (chunk->size() < 16384) *chunk += "{\"viewerId\":\"dev-endless\"},";
          }
          return true;
        });
    return true;
  }
  return false;
}

std::string routePattern(const std::string& path) {
  bool prefix = !path.empty() && path.back() == '*';
  std::string pattern;
  for (char c : prefix ? path.substr(0, path.size() - 1) : path) {
    if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) pattern += '\\';
    pattern += c;
  }
  return prefix ? pattern + ".*" : pattern;
}

}  // namespace

bool pathMatches(const std::string& pattern, const std::string& path) {
  if (!pattern.empty() && pattern.back() == '*')
    return path.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
  return pattern == path;
}

void installFaults(httplib::Server& server, const Faults& faults, Shutdown& shutdown) {
  // Delays run before routing, then the request goes on as usual.
  server.set_pre_routing_handler([faults, &shutdown](const httplib::Request& req,
                                                     httplib::Response& res) {
    using Result = httplib::Server::HandlerResponse;
    auto d = findPath(faults.delayMs, req.path, first);
    if (d == faults.delayMs.end() || shutdown.sleepFor(std::chrono::milliseconds(d->second)))
      return Result::Unhandled;
    res.status = 503;
    return Result::Handled;
  });

  // Other misbehaviour answers as a route, because only routes run after the
  // request body has been read: answering earlier leaves it unread, and the
  // close that follows resets the connection under a long reply. Routes match
  // in the order they were added, so these come before the real ones.
  std::set<std::string> paths;
  for (const auto& [p, status] : faults.fail) paths.insert(p);
  for (const auto& [p, bytes] : faults.hugeBytes) paths.insert(p);
  for (const auto* list : {&faults.endless, &faults.garbage, &faults.redirect})
    paths.insert(list->begin(), list->end());
  auto handler = [faults, &shutdown](const httplib::Request& req, httplib::Response& res) {
    if (!misbehave(faults, shutdown, req.path, res)) res.status = 404;
  };
  for (const auto& p : paths) {
    server.Get(routePattern(p), handler);
    server.Post(routePattern(p), handler);
  }
}

}  // namespace vl::dev
