#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/capture_service.h"

namespace tavrino::share::x11 {

// The desktop content queries of one capture service, shared among the
// requests that wait for them: one query runs at a time, on a thread of its
// own, and answers every request that was waiting when it began. A request
// that arrives while a query runs waits for the next one, since the running
// one may have read the windows before the request was made. However many
// requests come at once, the server sees one connection and at most two
// queries.
class ContentQueries {
 public:
  // The query itself, synchronous; run on the query thread only.
  using Query = std::function<ContentResult(bool onScreenWindowsOnly)>;

  explicit ContentQueries(Query query);

  // The completion runs once, later, on the query thread.
  void ask(bool onScreenWindowsOnly, ContentCompletion completion);

  // Releases, unrun, the completions of the query under way and of those
  // waiting, and of any asked later. For the end of the program: a server that
  // has stopped answering then holds up nothing, and an answer that comes
  // after all reaches nothing that has been freed.
  void abandon();

  // The display's width as the latest successful query found it; 0 for a
  // display none has listed.
  std::int64_t pixelsWide(std::uint32_t displayID) const;

 private:
  // Shared with the query thread, which is never waited for: a server that is
  // slow or has stopped answering must hold up neither the queues that carry
  // frames nor the end of the program.
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tavrino::share::x11
