#include "platform/x11/content_queries.h"

#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace tavrino::share::x11 {

struct ContentQueries::State {
  explicit State(Query q) : query(std::move(q)) {}

  const Query query;
  std::mutex mutex;
  bool abandoned = false;
  bool running = false;  // a query thread exists
  std::vector<ContentCompletion> waiting[2];  // by onScreenWindowsOnly
  std::vector<ContentCompletion> answering;   // the query under way
  std::map<std::uint32_t, std::int64_t> pixelsWide;

  // The query thread: queries until no request waits. Completions run under
  // the lock, so that abandon either finds one still waiting or returns after
  // it has run.
  static void serve(const std::shared_ptr<State>& self) {
    for (;;) {
      bool onScreen = false;
      {
        std::lock_guard lock(self->mutex);
        onScreen = !self->waiting[1].empty();
        if (self->abandoned || (!onScreen && self->waiting[0].empty())) {
          self->running = false;
          return;
        }
        self->answering = std::exchange(self->waiting[onScreen], {});
      }
      ContentResult result = self->query(onScreen);
      std::lock_guard lock(self->mutex);
      if (const auto* content = std::get_if<ShareableContent>(&result)) {
        self->pixelsWide.clear();
        for (const Display& display : content->displays) self->pixelsWide[display.displayID] = display.width;
      }
      for (const ContentCompletion& completion : std::exchange(self->answering, {})) completion(result);
    }
  }
};

ContentQueries::ContentQueries(Query query) : state_(std::make_shared<State>(std::move(query))) {}

void ContentQueries::ask(bool onScreenWindowsOnly, ContentCompletion completion) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->abandoned) return;
    state_->waiting[onScreenWindowsOnly].push_back(std::move(completion));
    if (std::exchange(state_->running, true)) return;
  }
  try {
    std::thread([state = state_] { State::serve(state); }).detach();
  } catch (...) {
    // The request stays waiting for the next thread that does start.
    std::lock_guard lock(state_->mutex);
    state_->running = false;
    throw;
  }
}

void ContentQueries::abandon() {
  std::vector<ContentCompletion> released[3];
  std::lock_guard lock(state_->mutex);
  state_->abandoned = true;
  released[0].swap(state_->waiting[0]);
  released[1].swap(state_->waiting[1]);
  released[2].swap(state_->answering);
}

std::int64_t ContentQueries::pixelsWide(std::uint32_t displayID) const {
  std::lock_guard lock(state_->mutex);
  const auto it = state_->pixelsWide.find(displayID);
  return it == state_->pixelsWide.end() ? 0 : it->second;
}

}  // namespace tavrino::share::x11
