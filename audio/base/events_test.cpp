#include "audio/base/events.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "audio/base/globals.h"
#include "tests/stdout_capture.h"

namespace lumeno {
namespace {

TEST(Serialise, SortsKeysAtEveryLevelAndEscapesSlashes) {
  struct Case { Json event; std::string want; };
  const Case cases[] = {
      {{{"t", "level"}, {"me", 0.5}, {"them", 0}}, R"({"me":0.5,"t":"level","them":0})"},
      {{{"t", "mic"}, {"uid", "usb/0"}, {"name", nullptr}}, R"({"name":null,"t":"mic","uid":"usb\/0"})"},
      {{{"t", "speech"}, {"words", Json::array({{{"text", "a/b"}, {"startMs", 12}, {"endMs", 20.5}}})}},
       R"({"t":"speech","words":[{"endMs":20.5,"startMs":12,"text":"a\/b"}]})"},
      {{{"t", "speech-ready"}, {"tracks", {"me", "them"}}}, R"({"t":"speech-ready","tracks":["me","them"]})"},
      {{{"t", "x"}, {"s", "caf\xc3\xa9 \"q\"\n"}}, R"({"s":"café \"q\"\n","t":"x"})"},
      // Whole-number floats print as integers, others keep their fraction.
      {{{"t", "writer-fed"}, {"inputMs", 2500.0}, {"fragmentMs", 5000.0}}, R"({"fragmentMs":5000,"inputMs":2500,"t":"writer-fed"})"},
      {{{"t", "x"}, {"a", {-0.0, 1500.5, 1e300}}}, R"({"a":[0,1500.5,1e+300],"t":"x"})"},
  };
  for (const auto& c : cases) EXPECT_EQ(serialise(c.event), c.want);
}

TEST(Serialise, ReplacesInvalidUtf8InsteadOfFailing) {
  Json event{{"t", "mic"}, {"name", std::string("bad\xff")}};
  EXPECT_EQ(serialise(event), "{\"name\":\"bad\xef\xbf\xbd\",\"t\":\"mic\"}");
}

TEST(Send, PcmEventIsItsLineThenExactlyItsPayloadThenTheNextLine) {
  test::StdoutPipe pipe;
  std::vector<float> samples(1600);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = float(i) / 1600.0f;
  send({{"t", "pcm"}, {"track", "me"}, {"ms", 1200}, {"n", 1600}},
       std::span(reinterpret_cast<const uint8_t*>(samples.data()), samples.size() * 4));
  send({{"t", "level"}, {"me", 0.25}, {"them", 0}});
  std::string out = pipe.take();
  std::string line = R"({"ms":1200,"n":1600,"t":"pcm","track":"me"})";
  ASSERT_EQ(out.size(), line.size() + 1 + 6400 + std::string(R"({"me":0.25,"t":"level","them":0})").size() + 1);
  EXPECT_EQ(out.substr(0, line.size() + 1), line + "\n");
  EXPECT_EQ(std::memcmp(out.data() + line.size() + 1, samples.data(), 6400), 0);
  EXPECT_EQ(out.substr(line.size() + 1 + 6400), "{\"me\":0.25,\"t\":\"level\",\"them\":0}\n");
}

TEST(Send, EventsFromManyThreadsNeverInterleave) {
  test::StdoutPipe pipe;
  constexpr int threads = 8, perThread = 100;
  std::vector<std::thread> senders;
  for (int t = 0; t < threads; ++t)
    senders.emplace_back([t] {
      for (int i = 0; i < perThread; ++i) {
        int n = 1 + (t * 37 + i * 11) % 400;
        std::vector<float> payload(size_t(n), float(t * 1000 + i));
        send({{"t", "pcm"}, {"track", std::to_string(t)}, {"ms", i}, {"n", n}},
             std::span(reinterpret_cast<const uint8_t*>(payload.data()), payload.size() * 4));
      }
    });
  for (auto& s : senders) s.join();
  std::string out = pipe.take();

  // Read it back as the application does: a line, then 4 x n bytes.
  std::vector<int> next(threads, 0);
  size_t pos = 0;
  int events = 0;
  while (pos < out.size()) {
    size_t nl = out.find('\n', pos);
    ASSERT_NE(nl, std::string::npos);
    Json event = Json::parse(out.substr(pos, nl - pos));
    int t = std::stoi(event["track"].get<std::string>());
    int i = event["ms"], n = event["n"];
    EXPECT_EQ(i, next[t]++) << "events of one thread keep their order";
    pos = nl + 1;
    ASSERT_LE(pos + size_t(n) * 4, out.size());
    for (int k = 0; k < n; ++k) {
      float v;
      std::memcpy(&v, out.data() + pos + size_t(k) * 4, 4);
      ASSERT_EQ(v, float(t * 1000 + i));
    }
    pos += size_t(n) * 4;
    ++events;
  }
  EXPECT_EQ(events, threads * perThread);
}

TEST(Send, AFailedWriteAsksForAFinishOnWorkAndTheProcessGoesOn) {
  std::atomic<int> finishes{0};
  std::atomic<bool> onWork{false};
  setWriteFailureHandler([&] {
    onWork = work->isCurrent();
    ++finishes;
  });
  {
    test::StdoutPipe pipe;
    pipe.closeReadEnd();
    send({{"t", "level"}, {"me", 0}, {"them", 0}});
    send({{"t", "level"}, {"me", 0}, {"them", 0}});
    outQ->sync([] {});
    work->sync([] {});
  }
  setWriteFailureHandler(nullptr);
  EXPECT_EQ(finishes.load(), 2);  // each failed write asks again
  EXPECT_TRUE(onWork);
}

TEST(WriteAll, EmptyBufferSucceedsAndAClosedDescriptorFails) {
  test::StdoutPipe pipe;
  EXPECT_TRUE(writeAll(std::string_view()));
  EXPECT_TRUE(writeAll("abc"));
  EXPECT_EQ(pipe.take(), "abc");
  pipe.closeReadEnd();
  EXPECT_FALSE(writeAll("x"));
}

}  // namespace
}  // namespace lumeno
