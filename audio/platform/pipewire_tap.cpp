#include "audio/platform/pipewire_tap.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <vector>

namespace lumeno::pipewire {

namespace {

constexpr int64_t kWaitNs = std::chrono::nanoseconds(kServerWait).count();

void initLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

// The PipeWire server whose pulse server is the one in PULSE_SERVER: its
// socket lies beside the pulse socket (a private server) or one folder up
// (the usual XDG_RUNTIME_DIR/pulse/native). None: libpipewire's own choice
// (PIPEWIRE_REMOTE, else XDG_RUNTIME_DIR/pipewire-0).
std::optional<std::string> remoteBesidePulse() {
  if (std::getenv("PIPEWIRE_REMOTE")) return std::nullopt;
  const char* pulse = std::getenv("PULSE_SERVER");
  if (!pulse || std::strncmp(pulse, "unix:", 5) != 0) return std::nullopt;
  std::error_code ec;
  auto socket = std::filesystem::canonical(pulse + 5, ec);
  if (ec) return std::nullopt;
  auto dir = socket.parent_path();
  for (int up = 0; up < 2 && !dir.empty(); ++up, dir = dir.parent_path()) {
    auto candidate = dir / "pipewire-0";
    if (std::filesystem::exists(candidate, ec)) return candidate.string();
  }
  return std::nullopt;
}

std::optional<uint32_t> number(const spa_dict* props, const char* key) {
  const char* text = props ? spa_dict_lookup(props, key) : nullptr;
  if (!text || !*text) return std::nullopt;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (*end || value > UINT32_MAX) return std::nullopt;
  return uint32_t(value);
}

std::string text(const spa_dict* props, const char* key) {
  const char* value = props ? spa_dict_lookup(props, key) : nullptr;
  return value ? value : "";
}

// The channel positions a pulse client gets by default for a channel count.
void positionsFor(uint32_t channels, uint32_t* out) {
  static const uint32_t kSurround[] = {SPA_AUDIO_CHANNEL_FL,  SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_RL,
                                       SPA_AUDIO_CHANNEL_RR,  SPA_AUDIO_CHANNEL_FC, SPA_AUDIO_CHANNEL_LFE,
                                       SPA_AUDIO_CHANNEL_SL,  SPA_AUDIO_CHANNEL_SR};
  if (channels == 1) {
    out[0] = SPA_AUDIO_CHANNEL_MONO;
    return;
  }
  for (uint32_t i = 0; i < channels; ++i)
    out[i] = i < std::size(kSurround) ? kSurround[i] : SPA_AUDIO_CHANNEL_AUX0 + (i - std::size(kSurround));
}

}  // namespace

struct PlaybackTap::State {
  struct Port {
    uint32_t node = 0;
    bool output = false;
    std::string channel;  // "FL", "MONO", ...
  };
  struct Link {
    State* state = nullptr;
    pw_proxy* proxy = nullptr;
    spa_hook proxyListener{};
    spa_hook linkListener{};
    uint32_t id = SPA_ID_INVALID;  // its global, once bound
    pw_link_state linkState = PW_LINK_STATE_INIT;
  };

  TapSpec wanted;
  DataHandler onData;
  FailHandler onFail;
  GraphWatch::ChangeHandler onLinkChange;  // a graph watch's
  uint32_t frameBytes = 0;

  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  spa_hook coreListener{};
  pw_registry* registry = nullptr;
  spa_hook registryListener{};
  pw_stream* stream = nullptr;
  spa_hook streamListener{};
  timespec deadline{};

  // Loop lock.
  std::vector<std::unique_ptr<Link>> links;
  std::map<uint32_t, Port> ports;  // every port of the server, by global id
  std::optional<uint32_t> playbackNode;
  std::string playbackClass;
  std::set<uint32_t> serverLinks;  // every link of the server, by global id
  int syncSeq = -1;
  bool synced = false;
  int linkCheckSeq = -1;  // the round trip after a link went
  bool linking = false;   // new output ports of the playback stream are linked
  pw_stream_state streamState = PW_STREAM_STATE_UNCONNECTED;
  // Something went wrong, while opening or after: the first reason counts.
  bool broken = false;
  int brokenCode = 0;
  std::string brokenWhy;
  bool closed = false;
  std::atomic<bool> running{false};

  // Held while the data handler runs; dataClosed stops it for good.
  std::mutex handlerMutex;
  bool dataClosed = false;
  // Timing, on the data thread.
  uint64_t frames = 0;  // frames handed on since the stream started
  std::array<double, 3> anchors{};
  size_t anchorCount = 0;

  ~State() { teardown(); }

  // With the loop lock held. The fail handler runs only for a tap that was
  // open; a tap still opening reports the reason from open().
  void breakDown(int code, const std::string& why) {
    if (broken) return;
    broken = true;
    brokenCode = code < 0 ? code : -code;
    if (brokenCode == 0) brokenCode = -EIO;
    brokenWhy = why;
    if (running.exchange(false) && !closed && onFail) onFail(why);
    pw_thread_loop_signal(loop, false);
  }

  // With the loop lock held: waits until done() holds, the tap broke down or
  // the deadline passed; true for done().
  template <typename Done>
  bool waitFor(Done done) {
    while (!done()) {
      if (broken) return false;
      if (pw_thread_loop_timed_wait_full(loop, &deadline) == -ETIMEDOUT) {
        if (done()) return true;
        breakDown(kTimedOut, "the PipeWire server did not answer");
        return false;
      }
    }
    return true;
  }

  // With the loop lock held: a round trip, after which the server's answers
  // to everything asked before are in.
  bool roundTrip() {
    synced = false;
    syncSeq = pw_core_sync(core, PW_ID_CORE, syncSeq);
    return waitFor([this] { return synced; });
  }

  // Starts the client thread and connects; returns with the loop lock held
  // (also on failure, when loop exists).
  bool connect() {
    initLibrary();
    loop = pw_thread_loop_new("lumeno.tap", nullptr);
    if (!loop) return breakOpen(-errno, "cannot make a PipeWire loop");
    context = pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0);
    if (!context || pw_thread_loop_start(loop) < 0) {
      pw_thread_loop_lock(loop);
      return breakOpen(-EIO, "cannot start a PipeWire client");
    }
    pw_thread_loop_lock(loop);
    pw_thread_loop_get_time(loop, &deadline, kWaitNs);
    pw_properties* props = pw_properties_new(nullptr, nullptr);
    if (auto remote = remoteBesidePulse()) pw_properties_set(props, PW_KEY_REMOTE_NAME, remote->c_str());
    core = pw_context_connect(context, props, 0);
    if (!core) return breakOpen(-errno, std::string("cannot reach the PipeWire server: ") + std::strerror(errno));
    static const pw_core_events coreEvents = [] {
      pw_core_events e{};
      e.version = PW_VERSION_CORE_EVENTS;
      e.done = &State::onCoreDone;
      e.error = &State::onCoreError;
      return e;
    }();
    pw_core_add_listener(core, &coreListener, &coreEvents, this);
    registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
    static const pw_registry_events registryEvents = [] {
      pw_registry_events e{};
      e.version = PW_VERSION_REGISTRY_EVENTS;
      e.global = &State::onGlobal;
      e.global_remove = &State::onGlobalRemove;
      return e;
    }();
    pw_registry_add_listener(registry, &registryListener, &registryEvents, this);
    return roundTrip();
  }

  // While opening, on the opening thread: the reason open() reports.
  bool breakOpen(int code, const std::string& why) {
    if (!broken) {
      broken = true;
      brokenCode = code < 0 ? code : -EIO;
      brokenWhy = why;
    }
    return false;
  }

  // The capture stream, not linked by the session manager.
  bool connectStream() {
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_NODE_AUTOCONNECT, "false",
        PW_KEY_NODE_DONT_RECONNECT, "true", PW_KEY_STREAM_DONT_REMIX, "true", nullptr);
    if (wanted.fragmentFrames)
      pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%u/%u", wanted.fragmentFrames, wanted.rate);
    stream = pw_stream_new(core, wanted.name.c_str(), props);
    if (!stream) return breakOpen(-errno, "cannot make a capture stream");
    static const pw_stream_events streamEvents = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.state_changed = &State::onStreamState;
      e.process = &State::onProcess;
      return e;
    }();
    pw_stream_add_listener(stream, &streamListener, &streamEvents, this);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = wanted.rate;
    info.channels = wanted.channels;
    positionsFor(wanted.channels, info.position);
    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    // Processed on the data thread, in the graph cycle that carries the
    // frames: the cycle's time is then the buffer's time.
    auto flags = pw_stream_flags(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    int res = pw_stream_connect(stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1);
    if (res < 0) return breakOpen(res, std::string("cannot connect a capture stream: ") + std::strerror(-res));
    return waitFor([this] {
      return (streamState == PW_STREAM_STATE_PAUSED || streamState == PW_STREAM_STATE_STREAMING) &&
             pw_stream_get_node_id(stream) != SPA_ID_INVALID;
    });
  }

  std::vector<std::pair<uint32_t, const Port*>> portsOf(uint32_t node, bool output) const {
    std::vector<std::pair<uint32_t, const Port*>> out;
    for (const auto& [id, port] : ports)
      if (port.node == node && port.output == output) out.emplace_back(id, &port);
    return out;
  }

  // Links every output port of the playback stream to the input of the
  // same channel; a mono output feeds every input. Ports the stream gets
  // later (a new stream may still be setting itself up) are linked as they
  // come.
  bool link() {
    uint32_t mine = pw_stream_get_node_id(stream);
    if (!waitFor([&] {
          return playbackNode && portsOf(mine, false).size() == wanted.channels && !portsOf(*playbackNode, true).empty();
        }))
      return false;
    for (const auto& [id, port] : portsOf(*playbackNode, true))
      if (!linkOutput(id)) return breakOpen(-errno, "cannot link to the playback stream");
    if (links.empty()) return breakOpen(-EINVAL, "the playback stream has no channel to link");
    linking = true;
    // Bound: the server made it. Paused or active: formats agreed.
    return waitFor([this] {
      return std::all_of(links.begin(), links.end(), [](const auto& l) {
        return l->id != SPA_ID_INVALID && l->linkState >= PW_LINK_STATE_PAUSED;
      });
    });
  }

  // Links one output port of the playback stream; false when the server
  // would not take a link.
  bool linkOutput(uint32_t outPort) {
    uint32_t mine = pw_stream_get_node_id(stream);
    auto inputs = portsOf(mine, false);
    auto outputs = portsOf(*playbackNode, true);
    auto at = std::find_if(outputs.begin(), outputs.end(), [&](const auto& p) { return p.first == outPort; });
    if (at == outputs.end()) return true;
    const Port& out = *at->second;
    size_t o = size_t(at - outputs.begin());
    for (size_t i = 0; i < inputs.size(); ++i) {
      const Port& in = *inputs[i].second;
      bool named = std::any_of(outputs.begin(), outputs.end(), [&](const auto& p) { return p.second->channel == in.channel; });
      // Channels named differently: position by position.
      bool matches = out.channel == in.channel || out.channel == "MONO" || in.channel == "MONO" || (!named && o == i);
      if (matches && !makeLink(*playbackNode, outPort, mine, inputs[i].first)) return false;
    }
    return true;
  }

  bool makeLink(uint32_t outNode, uint32_t outPort, uint32_t inNode, uint32_t inPort) {
    pw_properties* props = pw_properties_new(nullptr, nullptr);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", outNode);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", outPort);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", inNode);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", inPort);
    pw_properties_set(props, PW_KEY_OBJECT_LINGER, "false");
    auto* proxy = static_cast<pw_proxy*>(
        pw_core_create_object(core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
    pw_properties_free(props);
    if (!proxy) return false;
    auto l = std::make_unique<Link>();
    l->state = this;
    l->proxy = proxy;
    static const pw_proxy_events proxyEvents = [] {
      pw_proxy_events e{};
      e.version = PW_VERSION_PROXY_EVENTS;
      e.bound = &State::onLinkBound;
      e.removed = &State::onLinkRemoved;
      return e;
    }();
    static const pw_link_events linkEvents = [] {
      pw_link_events e{};
      e.version = PW_VERSION_LINK_EVENTS;
      e.info = &State::onLinkInfo;
      return e;
    }();
    pw_proxy_add_listener(proxy, &l->proxyListener, &proxyEvents, l.get());
    pw_link_add_listener(reinterpret_cast<pw_link*>(proxy), &l->linkListener, &linkEvents, l.get());
    links.push_back(std::move(l));
    return true;
  }

  // Everything goes; after it no handler runs.
  void teardown() {
    {
      std::lock_guard guard(handlerMutex);
      dataClosed = true;
    }
    if (!loop) return;
    pw_thread_loop_lock(loop);
    closed = true;
    running.store(false);
    for (auto& l : links) {
      spa_hook_remove(&l->linkListener);
      spa_hook_remove(&l->proxyListener);
      pw_proxy_destroy(l->proxy);
    }
    links.clear();
    if (stream) {
      spa_hook_remove(&streamListener);
      pw_stream_destroy(stream);
      stream = nullptr;
    }
    if (registry) {
      spa_hook_remove(&registryListener);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
      registry = nullptr;
    }
    if (core) {
      spa_hook_remove(&coreListener);
      pw_core_disconnect(core);
      core = nullptr;
    }
    pw_thread_loop_unlock(loop);
    pw_thread_loop_stop(loop);
    if (context) pw_context_destroy(context);
    pw_thread_loop_destroy(loop);
    context = nullptr;
    loop = nullptr;
  }

  // Server events, on the client thread with the loop lock held.
  static void onCoreDone(void* p, uint32_t id, int seq) {
    auto* self = static_cast<State*>(p);
    if (id != PW_ID_CORE) return;
    if (seq == self->syncSeq) {
      self->synced = true;
      pw_thread_loop_signal(self->loop, false);
    }
    if (seq == self->linkCheckSeq) {
      if (self->playbackNode)
        self->breakDown(-ENOLINK, "a link to the playback stream went away");
      else
        self->breakDown(kNoSuchStream, "the playback stream ended");
    }
  }

  static void onCoreError(void* p, uint32_t id, int, int res, const char* message) {
    auto* self = static_cast<State*>(p);
    std::string what = message ? message : std::strerror(-res);
    if (id == PW_ID_CORE) {
      self->breakDown(res, "the PipeWire server went away: " + what);
      return;
    }
    for (const auto& l : self->links)
      if (pw_proxy_get_id(l->proxy) == id) self->breakDown(res, "a link to the playback stream failed: " + what);
  }

  static void onGlobal(void* p, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props) {
    auto* self = static_cast<State*>(p);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
      if (!self->onLinkChange && number(props, PW_KEY_OBJECT_SERIAL) == self->wanted.serial) {
        self->playbackNode = id;
        self->playbackClass = text(props, PW_KEY_MEDIA_CLASS);
      }
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
      self->serverLinks.insert(id);
      self->linksChanged();
      return;
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
      auto node = number(props, PW_KEY_NODE_ID);
      if (!node) return;
      bool output = text(props, PW_KEY_PORT_DIRECTION) == "out";
      self->ports[id] = Port{*node, output, text(props, PW_KEY_AUDIO_CHANNEL)};
      if (self->linking && output && self->playbackNode == *node && !self->broken && !self->linkOutput(id))
        self->breakDown(-EIO, "cannot link to the playback stream");
    } else {
      return;
    }
    pw_thread_loop_signal(self->loop, false);
  }

  static void onGlobalRemove(void* p, uint32_t id) {
    auto* self = static_cast<State*>(p);
    self->ports.erase(id);
    if (self->serverLinks.erase(id) > 0) self->linksChanged();
    if (self->playbackNode == id) {
      self->playbackNode.reset();
      self->breakDown(kNoSuchStream, "the playback stream ended");
    }
    for (const auto& l : self->links)
      if (l->id == id) self->linkGone();
  }

  // A link of the server came or went: a graph watch that is open says so.
  void linksChanged() {
    if (running.load() && !closed && onLinkChange) onLinkChange();
  }

  // A stream that ends loses its links before it goes itself: which of the
  // two happened shows after a round trip.
  void linkGone() {
    if (broken || linkCheckSeq >= 0) return;
    linkCheckSeq = pw_core_sync(core, PW_ID_CORE, 0);
  }

  static void onLinkBound(void* p, uint32_t id) {
    auto* l = static_cast<Link*>(p);
    l->id = id;
    pw_thread_loop_signal(l->state->loop, false);
  }

  static void onLinkRemoved(void* p) { static_cast<Link*>(p)->state->linkGone(); }

  static void onLinkInfo(void* p, const pw_link_info* info) {
    auto* l = static_cast<Link*>(p);
    l->linkState = info->state;
    if (info->state == PW_LINK_STATE_ERROR)
      l->state->breakDown(-EPROTO, std::string("a link to the playback stream failed: ") + (info->error ? info->error : ""));
    pw_thread_loop_signal(l->state->loop, false);
  }

  static void onStreamState(void* p, pw_stream_state, pw_stream_state state, const char* error) {
    auto* self = static_cast<State*>(p);
    self->streamState = state;
    if (state == PW_STREAM_STATE_ERROR)
      self->breakDown(-EIO, std::string("the capture stream failed: ") + (error ? error : ""));
    else if (state == PW_STREAM_STATE_UNCONNECTED)
      self->breakDown(-EPIPE, "the capture stream was disconnected");
    pw_thread_loop_signal(self->loop, false);
  }

  // On the data thread, once per graph cycle.
  static void onProcess(void* p) {
    auto* self = static_cast<State*>(p);
    std::lock_guard guard(self->handlerMutex);
    if (self->dataClosed) return;  // the stream is going
    // The buffers of this call, the last being the cycle's own.
    std::array<pw_buffer*, 16> taken;
    size_t count = 0;
    uint64_t before = 0;  // frames of the buffers before the last
    while (count < taken.size()) {
      pw_buffer* b = pw_stream_dequeue_buffer(self->stream);
      if (!b) break;
      if (count > 0) before += self->framesIn(taken[count - 1]);
      taken[count++] = b;
    }
    if (count > 0) {
      self->timeCycle(self->frames + before);
      for (size_t i = 0; i < count; ++i) {
        uint32_t n = self->framesIn(taken[i]);
        if (n == 0) continue;
        spa_data& d = taken[i]->buffer->datas[0];
        const auto* samples = reinterpret_cast<const float*>(static_cast<const uint8_t*>(d.data) + d.chunk->offset);
        self->onData(samples, n, self->heardAt(self->frames));
        self->frames += n;
      }
    }
    for (size_t i = 0; i < count; ++i) pw_stream_queue_buffer(self->stream, taken[i]);
  }

  uint32_t framesIn(pw_buffer* b) const {
    spa_data& d = b->buffer->datas[0];
    if (!d.data || !d.chunk || d.chunk->offset > d.maxsize) return 0;
    return std::min(d.chunk->size, d.maxsize - d.chunk->offset) / frameBytes;
  }

  double framesNs(uint64_t n) const { return double(n) * 1e9 / double(wanted.rate); }

  // The cycle's time, for the stream frame `first` that it carries: `now` is
  // when the driver started the cycle, `delay` how far the frames are from
  // the device that plays them. Each cycle is timed afresh, so that time the
  // graph lost (a cycle it skipped, a stream that ran dry) is not carried on.
  // Now and then a reading is one cycle late: the median of the last three
  // anchors (host time of stream frame 0) drops it.
  void timeCycle(uint64_t first) {
    pw_time time{};
    if (pw_stream_get_time_n(stream, &time, sizeof time) != 0 || time.now <= 0 || time.rate.denom == 0) return;
    double delayNs = double(time.delay) * 1e9 * time.rate.num / time.rate.denom + framesNs(time.buffered);
    anchors[anchorCount++ % anchors.size()] = double(time.now) - delayNs - framesNs(first);
  }

  std::optional<uint64_t> heardAt(uint64_t frame) const {
    if (anchorCount == 0) return std::nullopt;
    // The median of the anchors there are (one, two or three): of two, the
    // later one, as a sort would give.
    double median = anchors[0];
    if (anchorCount == 2) median = std::max(anchors[0], anchors[1]);
    if (anchorCount >= 3)
      median = std::max(std::min(anchors[0], anchors[1]), std::min(std::max(anchors[0], anchors[1]), anchors[2]));
    double ns = median + framesNs(frame);
    if (ns < 0) return std::nullopt;
    return uint64_t(ns);
  }
};

PlaybackTap::PlaybackTap(std::unique_ptr<State> state) : state_(std::move(state)) {}

PlaybackTap::~PlaybackTap() = default;

bool PlaybackTap::running() const { return state_->running.load(); }

std::unique_ptr<PlaybackTap> PlaybackTap::open(const TapSpec& wanted, DataHandler onData, FailHandler onFail,
                                               int* status, std::string* error) {
  auto state = std::make_unique<State>();
  auto failed = [&]() -> std::unique_ptr<PlaybackTap> {
    if (status) *status = state->brokenCode ? state->brokenCode : -EIO;
    if (error) *error = state->brokenWhy;
    if (state->loop) pw_thread_loop_unlock(state->loop);
    return nullptr;
  };
  if (wanted.rate == 0 || wanted.channels == 0 || wanted.channels > SPA_AUDIO_MAX_CHANNELS) {
    state->breakOpen(-EINVAL, "invalid sample format");
    return failed();
  }
  state->wanted = wanted;
  state->onData = std::move(onData);
  state->onFail = std::move(onFail);
  state->frameBytes = uint32_t(sizeof(float) * wanted.channels);

  if (!state->connect()) return failed();
  // A node's class may be announced after the node itself: only a known
  // other class rules it out.
  if (!state->playbackNode || (!state->playbackClass.empty() && state->playbackClass != "Stream/Output/Audio")) {
    state->breakOpen(kNoSuchStream, "no playback stream with serial " + std::to_string(wanted.serial));
    return failed();
  }
  if (!state->connectStream() || !state->link()) return failed();
  state->running.store(true);
  pw_thread_loop_unlock(state->loop);
  return std::unique_ptr<PlaybackTap>(new PlaybackTap(std::move(state)));
}

GraphWatch::GraphWatch(std::unique_ptr<PlaybackTap::State> state) : state_(std::move(state)) {}

GraphWatch::~GraphWatch() = default;

std::unique_ptr<GraphWatch> GraphWatch::open(ChangeHandler onChange, int* status, std::string* error) {
  auto state = std::make_unique<PlaybackTap::State>();
  state->onLinkChange = std::move(onChange);
  bool ok = state->connect();
  if (state->loop) pw_thread_loop_unlock(state->loop);
  if (!ok) {
    if (status) *status = state->brokenCode ? state->brokenCode : -EIO;
    if (error) *error = state->brokenWhy;
    return nullptr;
  }
  // The links there were before are no news.
  state->running.store(true);
  return std::unique_ptr<GraphWatch>(new GraphWatch(std::move(state)));
}

}  // namespace lumeno::pipewire
