#include "audio/platform/pulse.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <set>

namespace lumeno::pulse {

namespace {

constexpr pa_usec_t kWaitUs = pa_usec_t(std::chrono::microseconds(kServerWait).count());
// After a wait ran out, connecting fails at once for this long.
constexpr pa_usec_t kHoldOffUs = kWaitUs;

// Holds the main loop's lock for a scope; a no-op on the loop's own thread,
// where the lock is already held.
class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop), held_(!pa_threaded_mainloop_in_thread(loop)) {
    if (held_) pa_threaded_mainloop_lock(loop_);
  }
  ~LoopLock() {
    if (held_) pa_threaded_mainloop_unlock(loop_);
  }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
  bool held_;
};

// Wakes the thread waiting on the loop once kServerWait has passed, so that
// no wait for the server outlasts it. Made and freed with the loop lock held:
// its callback never runs after the destructor.
class Deadline {
 public:
  Deadline(pa_threaded_mainloop* loop, pa_context* ctx)
      : loop_(loop),
        api_(pa_threaded_mainloop_get_api(loop)),
        event_(pa_context_rttime_new(ctx, pa_rtclock_now() + kWaitUs, &Deadline::expire, this)) {}
  ~Deadline() {
    if (event_) api_->time_free(event_);
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  bool passed() const { return passed_; }

 private:
  static void expire(pa_mainloop_api*, pa_time_event*, const timeval*, void* p) {
    auto* self = static_cast<Deadline*>(p);
    self->passed_ = true;
    pa_threaded_mainloop_signal(self->loop_, 0);
  }

  pa_threaded_mainloop* loop_;
  pa_mainloop_api* api_;
  bool passed_ = false;  // loop lock
  pa_time_event* event_;
};

// What sources and sinks have in common.
template <typename Info>
Device commonDeviceOf(const Info* i) {
  Device d;
  d.index = i->index;
  d.name = i->name ? i->name : "";
  d.description = i->description ? i->description : "";
  d.rate = i->sample_spec.rate;
  d.channels = i->sample_spec.channels;
  return d;
}

Device deviceOf(const pa_source_info* i) {
  Device d = commonDeviceOf(i);
  d.isMonitor = i->monitor_of_sink != PA_INVALID_INDEX;
  return d;
}

Device deviceOf(const pa_sink_info* i) {
  Device d = commonDeviceOf(i);
  d.monitorSource = i->monitor_source_name ? i->monitor_source_name : "";
  return d;
}

}  // namespace

struct Connection::Impl {
  struct Listener {
    SerialQueue* queue;
    std::function<void(Notice)> notice;  // set for listen()
    std::function<void()> change;        // set for watch() and watchPlayback()
    bool playback = false;               // watchPlayback()
    Facility facility = Facility::sink;
    uint32_t index = 0;
  };

  pa_threaded_mainloop* loop = nullptr;
  std::mutex connectMutex;  // taken before the loop lock, never inside it
  pa_context* ctx = nullptr;  // loop lock
  std::atomic<int> lastError{0};
  // Until then (pa_rtclock_now) connecting fails at once: the server stopped
  // answering. Loop lock.
  pa_usec_t holdUntil = 0;
  // Why the context being disconnected on the loop thread goes; loop thread.
  int dropReason = PA_OK;

  // What the server looked like at the last look; loop lock.
  bool haveSnapshot = false;
  ServerInfo defaults;
  std::set<uint32_t> sourceIndexes;

  std::mutex listenersMutex;
  std::map<ListenerId, std::shared_ptr<Listener>> listeners;
  ListenerId nextId = 1;

  Impl() {
    loop = pa_threaded_mainloop_new();
    pa_threaded_mainloop_set_name(loop, "lumeno.pulse");
    pa_threaded_mainloop_start(loop);
  }

  bool ready() const { return ctx && pa_context_get_state(ctx) == PA_CONTEXT_READY; }

  void fail(int code) { lastError.store(code < 0 ? code : -code); }

  // With the loop lock held: why a call cannot go on.
  int errorNow() const {
    if (ctx) return pa_context_errno(ctx);
    return pa_rtclock_now() < holdUntil ? PA_ERR_TIMEOUT : PA_ERR_CONNECTIONTERMINATED;
  }

  // c is still the connection and works.
  bool current(pa_context* c) const { return c && ctx == c && PA_CONTEXT_IS_GOOD(pa_context_get_state(c)); }

  // Waits for op with the loop lock held; false when it did not complete.
  // An operation still running at the end is cancelled: its callback writes
  // to the caller's stack.
  bool finish(pa_operation* op) {
    if (!op) {
      fail(errorNow());
      return false;
    }
    pa_context* mine = ctx;
    Deadline deadline(loop, mine);
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING && current(mine) && !deadline.passed())
      pa_threaded_mainloop_wait(loop);
    bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
    pa_operation_unref(op);
    if (!done) {
      if (deadline.passed() && current(mine))
        stalled();
      else
        fail(errorNow());
    }
    return done;
  }

  // With the loop lock held, after the server let a wait run out: it counts
  // as gone. Its streams fail as when it goes away, and connecting fails at
  // once for a while, so that the calls after this one do not each wait for
  // it again.
  void stalled() {
    fail(PA_ERR_TIMEOUT);
    holdUntil = pa_rtclock_now() + kHoldOffUs;
    dropContext(PA_ERR_TIMEOUT);
  }

  // Connects when there is no working connection. Not on the loop thread.
  bool connect() {
    if (pa_threaded_mainloop_in_thread(loop)) return ready();
    std::lock_guard guard(connectMutex);
    LoopLock lock(loop);
    if (ready()) return true;
    dropContext();
    if (pa_rtclock_now() < holdUntil) {
      fail(PA_ERR_TIMEOUT);
      return false;
    }
    ctx = pa_context_new(pa_threaded_mainloop_get_api(loop), "lumeno-audio");
    if (!ctx) {
      fail(PA_ERR_INTERNAL);
      return false;
    }
    pa_context_set_state_callback(
        ctx, [](pa_context*, void* self) { pa_threaded_mainloop_signal(static_cast<Impl*>(self)->loop, 0); }, this);
    if (pa_context_connect(ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      fail(pa_context_errno(ctx));
      dropContext();
      return false;
    }
    Deadline deadline(loop, ctx);
    for (;;) {
      pa_context_state_t state = pa_context_get_state(ctx);
      if (state == PA_CONTEXT_READY) break;
      if (!PA_CONTEXT_IS_GOOD(state)) {
        fail(pa_context_errno(ctx));
        dropContext();
        return false;
      }
      if (deadline.passed()) {
        stalled();
        return false;
      }
      pa_threaded_mainloop_wait(loop);
    }
    pa_context_set_subscribe_callback(ctx, &Impl::onEvent, this);
    auto mask = pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SINK |
                                      PA_SUBSCRIPTION_MASK_SINK_INPUT);
    if (!finish(pa_context_subscribe(ctx, mask, &Impl::signalSuccess, this))) {
      dropContext();
      return false;
    }
    refreshSnapshot();
    if (!ready()) return false;  // it stopped answering half-way
    lastError.store(0);
    return true;
  }

  // With the loop lock held: forgets the context at once. The loop thread
  // disconnects it, so that the fail handlers of streams still on it run
  // there, as when the server goes away; waiters on it wake and give up.
  void dropContext(int reason = PA_OK) {
    if (!ctx) return;
    pa_context_set_state_callback(ctx, nullptr, nullptr);
    pa_context_set_subscribe_callback(ctx, nullptr, nullptr);
    pa_mainloop_api_once(pa_threaded_mainloop_get_api(loop), &Impl::disconnect, new Drop{this, ctx, reason});
    ctx = nullptr;
    pa_threaded_mainloop_signal(loop, 0);
  }

  struct Drop {
    Impl* self;
    pa_context* ctx;
    int reason;
  };

  // On the loop thread.
  static void disconnect(pa_mainloop_api*, void* p) {
    std::unique_ptr<Drop> drop(static_cast<Drop*>(p));
    drop->self->dropReason = drop->reason;
    pa_context_disconnect(drop->ctx);
    drop->self->dropReason = PA_OK;
    pa_context_unref(drop->ctx);
  }

  static void signalSuccess(pa_context*, int, void* self) { pa_threaded_mainloop_signal(static_cast<Impl*>(self)->loop, 0); }

  // After a new connection: the defaults and the sources as they are now.
  // Differences from what an earlier connection saw are changes too.
  void refreshSnapshot() {
    auto info = serverInfoLocked();
    auto list = sourcesLocked();
    if (!info || !ready()) return;
    std::set<uint32_t> indexes;
    for (const auto& d : list) indexes.insert(d.index);
    if (haveSnapshot) {
      if (info->defaultSource != defaults.defaultSource) post(Notice::defaultInputChanged);
      if (info->defaultSink != defaults.defaultSink) post(Notice::defaultOutputChanged);
      if (indexes != sourceIndexes) post(Notice::deviceListChanged);
    }
    defaults = *info;
    sourceIndexes = std::move(indexes);
    haveSnapshot = true;
  }

  // The queries, with the loop lock held; empty when the connection is gone,
  // also when an earlier query of the same call dropped it.
  std::optional<ServerInfo> serverInfoLocked() {
    if (!ready()) return std::nullopt;
    struct Result {
      Impl* self;
      std::optional<ServerInfo> info;
    } result{this, std::nullopt};
    auto op = pa_context_get_server_info(
        ctx,
        [](pa_context*, const pa_server_info* i, void* r) {
          auto* res = static_cast<Result*>(r);
          if (i) {
            res->info = ServerInfo{i->default_sink_name ? i->default_sink_name : "",
                                   i->default_source_name ? i->default_source_name : "",
                                   i->server_name ? i->server_name : ""};
          }
          pa_threaded_mainloop_signal(res->self->loop, 0);
        },
        &result);
    if (!finish(op)) return std::nullopt;
    return result.info;
  }

  template <typename Info>
  struct ListResult {
    Impl* self;
    std::vector<Device> devices;
    static void add(pa_context*, const Info* i, int eol, void* r) {
      auto* res = static_cast<ListResult*>(r);
      if (eol == 0 && i) res->devices.push_back(deviceOf(i));
      if (eol != 0) pa_threaded_mainloop_signal(res->self->loop, 0);
    }
  };

  std::vector<Device> sourcesLocked() {
    if (!ready()) return {};
    ListResult<pa_source_info> result{this, {}};
    if (!finish(pa_context_get_source_info_list(ctx, &ListResult<pa_source_info>::add, &result))) return {};
    return result.devices;
  }

  std::vector<Device> sinksLocked() {
    if (!ready()) return {};
    ListResult<pa_sink_info> result{this, {}};
    if (!finish(pa_context_get_sink_info_list(ctx, &ListResult<pa_sink_info>::add, &result))) return {};
    return result.devices;
  }

  // Subscription events, on the loop thread.
  static void onEvent(pa_context* c, pa_subscription_event_type_t t, uint32_t index, void* p) {
    auto* self = static_cast<Impl*>(p);
    auto facility = t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    auto type = t & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    switch (facility) {
      case PA_SUBSCRIPTION_EVENT_SERVER:
        // Which default moved shows only in a before-and-after comparison.
        if (auto* op = pa_context_get_server_info(c, &Impl::onServerInfo, self)) pa_operation_unref(op);
        break;
      case PA_SUBSCRIPTION_EVENT_SOURCE:
        if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
          if (self->sourceIndexes.erase(index) > 0) self->post(Notice::deviceListChanged);
        } else {
          // A new source may show up with CHANGE events before its NEW one.
          if (self->sourceIndexes.insert(index).second) self->post(Notice::deviceListChanged);
          self->postChange(Facility::source, index);
        }
        break;
      case PA_SUBSCRIPTION_EVENT_SINK:
        if (type != PA_SUBSCRIPTION_EVENT_REMOVE) self->postChange(Facility::sink, index);
        break;
      case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
        self->postPlayback();
        break;
      default:
        break;
    }
  }

  static void onServerInfo(pa_context*, const pa_server_info* i, void* p) {
    auto* self = static_cast<Impl*>(p);
    if (!i) return;
    std::string sink = i->default_sink_name ? i->default_sink_name : "";
    std::string source = i->default_source_name ? i->default_source_name : "";
    if (source != self->defaults.defaultSource) {
      self->defaults.defaultSource = source;
      self->post(Notice::defaultInputChanged);
    }
    if (sink != self->defaults.defaultSink) {
      self->defaults.defaultSink = sink;
      self->post(Notice::defaultOutputChanged);
    }
  }

  std::shared_ptr<Listener> find(ListenerId id) {
    std::lock_guard guard(listenersMutex);
    auto it = listeners.find(id);
    return it == listeners.end() ? nullptr : it->second;
  }

  void post(Notice notice) {
    std::lock_guard guard(listenersMutex);
    for (const auto& [id, l] : listeners) {
      if (!l->notice) continue;
      l->queue->async([this, id = id, notice] {
        if (auto live = find(id)) live->notice(notice);
      });
    }
  }

  void postChange(Facility facility, uint32_t index) {
    std::lock_guard guard(listenersMutex);
    for (const auto& [id, l] : listeners) {
      if (!l->change || l->playback || l->facility != facility || l->index != index) continue;
      l->queue->async([this, id = id] {
        if (auto live = find(id)) live->change();
      });
    }
  }

  void postPlayback() {
    std::lock_guard guard(listenersMutex);
    for (const auto& [id, l] : listeners) {
      if (!l->playback) continue;
      l->queue->async([this, id = id] {
        if (auto live = find(id)) live->change();
      });
    }
  }

  ListenerId add(std::shared_ptr<Listener> listener) {
    std::lock_guard guard(listenersMutex);
    ListenerId id = nextId++;
    listeners[id] = std::move(listener);
    return id;
  }
};

Connection& Connection::shared() {
  static Connection* connection = new Connection();  // lives as long as the process
  return *connection;
}

Connection::Connection() : impl_(new Impl()) {}

bool Connection::reachable() { return impl_->connect(); }

int Connection::lastError() const { return impl_->lastError.load(); }

std::optional<ServerInfo> Connection::serverInfo() {
  if (!impl_->connect()) return std::nullopt;
  LoopLock lock(impl_->loop);
  if (!impl_->ready()) return std::nullopt;
  return impl_->serverInfoLocked();
}

std::vector<Device> Connection::sources() {
  if (!impl_->connect()) return {};
  LoopLock lock(impl_->loop);
  if (!impl_->ready()) return {};
  return impl_->sourcesLocked();
}

std::vector<Device> Connection::sinks() {
  if (!impl_->connect()) return {};
  LoopLock lock(impl_->loop);
  if (!impl_->ready()) return {};
  return impl_->sinksLocked();
}

std::optional<Device> Connection::source(const std::string& name) {
  for (auto& d : sources())
    if (d.name == name) return d;
  return std::nullopt;
}

std::optional<Device> Connection::sourceAt(uint32_t index) {
  for (auto& d : sources())
    if (d.index == index) return d;
  return std::nullopt;
}

std::optional<Device> Connection::sink(const std::string& name) {
  for (auto& d : sinks())
    if (d.name == name) return d;
  return std::nullopt;
}

std::optional<Device> Connection::sinkAt(uint32_t index) {
  for (auto& d : sinks())
    if (d.index == index) return d;
  return std::nullopt;
}

std::optional<std::vector<SinkInput>> Connection::sinkInputs() {
  if (!impl_->connect()) return std::nullopt;
  LoopLock lock(impl_->loop);
  if (!impl_->ready()) return std::nullopt;
  struct Result {
    Impl* self;
    std::vector<SinkInput> inputs;
    bool failed = false;
  } result{impl_, {}};
  auto op = pa_context_get_sink_input_info_list(
      impl_->ctx,
      [](pa_context*, const pa_sink_input_info* i, int eol, void* r) {
        auto* res = static_cast<Result*>(r);
        if (eol == 0 && i) {
          SinkInput in;
          in.index = i->index;
          in.sink = i->sink;
          in.corked = i->corked != 0;
          if (const char* pid = pa_proplist_gets(i->proplist, PA_PROP_APPLICATION_PROCESS_ID)) in.pid = std::atoi(pid);
          res->inputs.push_back(in);
        }
        if (eol < 0) res->failed = true;
        if (eol != 0) pa_threaded_mainloop_signal(res->self->loop, 0);
      },
      &result);
  if (!impl_->finish(op) || result.failed) return std::nullopt;
  return result.inputs;
}

Connection::ListenerId Connection::listen(SerialQueue& queue, std::function<void(Notice)> handler) {
  auto l = std::make_shared<Impl::Listener>();
  l->queue = &queue;
  l->notice = std::move(handler);
  ListenerId id = impl_->add(std::move(l));
  impl_->connect();  // the subscription starts with the connection
  return id;
}

Connection::ListenerId Connection::watch(SerialQueue& queue, Facility facility, uint32_t index,
                                         std::function<void()> handler) {
  auto l = std::make_shared<Impl::Listener>();
  l->queue = &queue;
  l->change = std::move(handler);
  l->facility = facility;
  l->index = index;
  ListenerId id = impl_->add(std::move(l));
  impl_->connect();
  return id;
}

Connection::ListenerId Connection::watchPlayback(SerialQueue& queue, std::function<void()> handler) {
  auto l = std::make_shared<Impl::Listener>();
  l->queue = &queue;
  l->change = std::move(handler);
  l->playback = true;
  ListenerId id = impl_->add(std::move(l));
  impl_->connect();
  return id;
}

void Connection::remove(ListenerId id) {
  std::lock_guard guard(impl_->listenersMutex);
  impl_->listeners.erase(id);
}

// ---------------------------------------------------------------------------

struct RecordStream::State {
  Connection::Impl* conn = nullptr;
  pa_stream* stream = nullptr;  // loop lock
  StreamSpec wanted;
  DataHandler onData;
  FailHandler onFail;
  std::atomic<bool> running{false};
  bool failed = false;  // loop lock
  uint32_t frameBytes = 0;

  // Timing, on the loop thread only.
  uint64_t frames = 0;          // frames read since the stream started
  std::deque<double> anchors;   // recent estimates of the host time of frame 0, ns
  std::vector<double> scratch;  // for the median
  // Blocks of exactly wanted.blockFrames.
  std::vector<float> block;
  uint32_t blockFill = 0;
  uint64_t blockFirst = 0;  // the stream frame the block starts at
  // Fragments read before the timing settled, kept back until it has.
  struct Held {
    std::vector<float> samples;  // empty for a hole
    uint32_t count = 0;
    uint64_t first = 0;
  };
  std::vector<Held> held;
  bool settled = false;

  static constexpr size_t kAnchors = 64;
  // A new stream's first latency reports scatter; the first buffers wait for
  // this many of them (about 80 ms of 10 ms fragments), so that the time they
  // carry, which anchors a whole track, is a median and not one report.
  static constexpr size_t kSettleAnchors = 8;
  static constexpr size_t kMaxHeld = 16;  // a stream without timing waits no longer

  double framesNs(uint64_t n) const { return double(n) * 1e9 / double(wanted.rate); }

  std::optional<double> anchor() {
    if (anchors.empty()) return std::nullopt;
    scratch.assign(anchors.begin(), anchors.end());
    auto mid = scratch.begin() + scratch.size() / 2;
    std::nth_element(scratch.begin(), mid, scratch.end());
    return *mid;
  }

  // The host time (ns) of a stream frame, from the timing known now.
  std::optional<uint64_t> heardAt(uint64_t frame) {
    auto a = anchor();
    if (!a) return std::nullopt;
    double ns = *a + framesNs(frame);
    if (ns < 0) return std::nullopt;
    return uint64_t(ns);
  }

  // Hands on count frames (null samples: a hole) that start at stream frame
  // `first`, whole or in blocks; a block's time is taken when it is complete.
  void deliver(const float* samples, uint32_t count, uint64_t first) {
    if (wanted.blockFrames == 0) {
      // A hole is time that passed: skipped here, silence in blocks.
      if (samples) onData(samples, count, heardAt(first));
      return;
    }
    uint32_t done = 0;
    while (done < count) {
      if (blockFill == 0) blockFirst = first + done;
      uint32_t take = std::min(count - done, wanted.blockFrames - blockFill);
      size_t n = size_t(take) * wanted.channels;
      float* dst = block.data() + size_t(blockFill) * wanted.channels;
      if (samples)
        std::copy(samples + size_t(done) * wanted.channels, samples + size_t(done) * wanted.channels + n, dst);
      else
        std::fill(dst, dst + n, 0.0f);
      blockFill += take;
      done += take;
      if (blockFill == wanted.blockFrames) {
        onData(block.data(), blockFill, heardAt(blockFirst));
        blockFill = 0;
      }
    }
  }

  void take(const float* samples, uint32_t count) {
    if (!settled && anchors.size() < kSettleAnchors && held.size() < kMaxHeld) {
      Held h;
      if (samples) h.samples.assign(samples, samples + size_t(count) * wanted.channels);
      h.count = count;
      h.first = frames;
      held.push_back(std::move(h));
      return;
    }
    settled = true;
    for (const Held& h : held) deliver(h.samples.empty() ? nullptr : h.samples.data(), h.count, h.first);
    held.clear();
    deliver(samples, count, frames);
  }

  static void onRead(pa_stream* s, size_t, void* p) {
    auto* self = static_cast<State*>(p);
    for (;;) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) break;
      uint32_t count = uint32_t(bytes / self->frameBytes);
      pa_usec_t latency = 0;
      int negative = 0;
      // Read between peek and drop: the latency of the fragment's first frame.
      if (data && pa_stream_get_latency(s, &latency, &negative) == 0) {
        double now = double(pa_rtclock_now()) * 1000.0;
        double lat = double(latency) * 1000.0 * (negative ? -1 : 1);
        self->anchors.push_back(now - lat - self->framesNs(self->frames));
        if (self->anchors.size() > kAnchors) self->anchors.pop_front();
      }
      self->take(static_cast<const float*>(data), count);
      self->frames += count;
      pa_stream_drop(s);
    }
  }

  static void onState(pa_stream* s, void* p) {
    auto* self = static_cast<State*>(p);
    pa_stream_state_t state = pa_stream_get_state(s);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
      // A stream that never got going is reported by open() instead.
      if (self->running.exchange(false) && !self->failed) {
        self->failed = true;
        int code = self->conn->dropReason;
        if (code == PA_OK) code = pa_context_errno(pa_stream_get_context(s));
        if (self->onFail) self->onFail(code ? pa_strerror(code) : "stream ended");
      }
    }
    pa_threaded_mainloop_signal(self->conn->loop, 0);
  }

  // With the loop lock held: no callback runs after this.
  void close() {
    if (!stream) return;
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
    running.store(false);
  }
};

std::unique_ptr<RecordStream> RecordStream::open(const StreamSpec& wanted, DataHandler onData, FailHandler onFail,
                                                 int* status, std::string* error) {
  auto setError = [&](int code) {
    code = code > 0 ? -code : code;
    if (code == 0) code = -PA_ERR_UNKNOWN;
    if (status) *status = code;
    if (error) *error = pa_strerror(-code);
    return nullptr;
  };
  Connection::Impl* conn = Connection::shared().impl_;
  if (!conn->connect()) return setError(conn->lastError.load());
  pa_sample_spec ss{PA_SAMPLE_FLOAT32LE, wanted.rate, uint8_t(wanted.channels)};
  if (wanted.channels == 0 || wanted.channels > PA_CHANNELS_MAX || !pa_sample_spec_valid(&ss))
    return setError(PA_ERR_INVALID);

  auto state = std::make_shared<State>();
  state->conn = conn;
  state->wanted = wanted;
  state->onData = std::move(onData);
  state->onFail = std::move(onFail);
  state->frameBytes = uint32_t(sizeof(float) * wanted.channels);
  state->block.resize(size_t(wanted.blockFrames) * wanted.channels);

  LoopLock lock(conn->loop);
  if (!conn->ready()) return setError(conn->errorNow());
  pa_context* ctx = conn->ctx;
  state->stream = pa_stream_new(ctx, wanted.name.c_str(), &ss, nullptr);
  if (!state->stream) return setError(pa_context_errno(ctx));
  if (wanted.monitorOf && pa_stream_set_monitor_stream(state->stream, *wanted.monitorOf) < 0) {
    int code = pa_context_errno(ctx);
    state->close();
    return setError(code);
  }
  pa_stream_set_state_callback(state->stream, &State::onState, state.get());
  pa_stream_set_read_callback(state->stream, &State::onRead, state.get());
  pa_buffer_attr attr;
  attr.maxlength = uint32_t(-1);
  attr.tlength = uint32_t(-1);
  attr.prebuf = uint32_t(-1);
  attr.minreq = uint32_t(-1);
  attr.fragsize = wanted.fragmentFrames ? wanted.fragmentFrames * state->frameBytes : uint32_t(-1);
  int flags = PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE;
  if (wanted.dontMove) flags |= PA_STREAM_DONT_MOVE;
  if (pa_stream_connect_record(state->stream, wanted.device.c_str(), &attr, pa_stream_flags_t(flags)) < 0) {
    int code = pa_context_errno(ctx);
    state->close();
    return setError(code);
  }
  Deadline deadline(conn->loop, ctx);
  for (;;) {
    pa_stream_state_t st = pa_stream_get_state(state->stream);
    if (st == PA_STREAM_READY) break;
    // The connection may have been dropped by another thread's call.
    if (!PA_STREAM_IS_GOOD(st) || !conn->current(ctx)) {
      int code = conn->current(ctx) ? pa_context_errno(ctx) : conn->errorNow();
      state->close();
      return setError(code);
    }
    if (deadline.passed()) {
      state->close();
      conn->stalled();
      return setError(PA_ERR_TIMEOUT);
    }
    pa_threaded_mainloop_wait(conn->loop);
  }
  state->running.store(true);
  return std::unique_ptr<RecordStream>(new RecordStream(std::move(state)));
}

RecordStream::~RecordStream() {
  LoopLock lock(state_->conn->loop);
  state_->close();
}

bool RecordStream::running() const { return state_->running.load(); }

uint64_t serverClockNow() { return uint64_t(pa_rtclock_now()) * 1000u; }

}  // namespace lumeno::pulse
