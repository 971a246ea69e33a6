// The analyser's queues and the model store; the engine itself is in
// recogniser_pocketsphinx.cpp.
#include "audio/platform/recogniser.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <system_error>

#include "audio/platform/speech_models.h"

namespace lumeno {

namespace fs = std::filesystem;

void AnalyzerInputQueue::yield(AnalyzerInput input) {
  {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    items_.push_back(std::move(input));
  }
  ready_.notify_one();
}

void AnalyzerInputQueue::finish() {
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
  }
  ready_.notify_all();
}

void AnalyzerInputQueue::discard() {
  std::deque<AnalyzerInput> dropped;
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
    dropped.swap(items_);
  }
  ready_.notify_all();
}

std::optional<AnalyzerInput> AnalyzerInputQueue::next() {
  std::unique_lock lock(mutex_);
  ready_.wait(lock, [this] { return finished_ || !items_.empty(); });
  if (items_.empty()) return std::nullopt;
  AnalyzerInput input = std::move(items_.front());
  items_.pop_front();
  return input;
}

std::string SpeechResult::plainText() const {
  std::string text;
  for (const TextRun& run : runs) text += run.text;
  return text;
}

void ResultStream::deliver(SpeechResult result) {
  {
    std::lock_guard lock(mutex_);
    if (ended_) return;
    results_.push_back(std::move(result));
  }
  changed_.notify_all();
}

void ResultStream::end() {
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
  }
  changed_.notify_all();
}

void ResultStream::fail(std::string error) {
  {
    std::lock_guard lock(mutex_);
    if (ended_) return;
    ended_ = true;
    error_ = std::move(error);
  }
  changed_.notify_all();
}

std::optional<SpeechResult> ResultStream::next() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return cancelled_ || ended_ || !results_.empty(); });
  std::optional<SpeechResult> result;
  if (!cancelled_ && !results_.empty()) {
    result = std::move(results_.front());
    results_.pop_front();
  } else if (!cancelled_) {
    endSeen_ = true;  // the consumer is done with everything it took
  }
  lock.unlock();
  changed_.notify_all();  // waitTaken() may be waiting for the queue to empty
  return result;
}

std::optional<std::string> ResultStream::error() {
  std::lock_guard lock(mutex_);
  return error_;
}

void ResultStream::cancel() {
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
  }
  changed_.notify_all();
}

bool ResultStream::isCancelled() {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

void ResultStream::waitTaken() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return cancelled_ || endSeen_; });
}

std::optional<std::string> spokenWord(const std::string& token) {
  if (token.empty() || token[0] == '<' || token[0] == '[' || token[0] == '+') return std::nullopt;
  std::string word = token;
  if (word.back() == ')') {
    size_t open = word.rfind('(');
    if (open != std::string::npos && open > 0 &&
        std::all_of(word.begin() + long(open) + 1, word.end() - 1, [](char c) { return std::isdigit(uint8_t(c)); }))
      word.erase(open);
  }
  return word;
}

fs::path speechModelStore() {
  const char* data = std::getenv("XDG_DATA_HOME");
  fs::path base;
  if (data && *data == '/') {
    base = data;
  } else {
    const char* home = std::getenv("HOME");
    base = fs::path(home ? home : "/") / ".local/share";
  }
  return base / "lumeno" / "speech";
}

std::vector<std::string> supportedSpeechModels() {
  std::vector<std::string> ids;
  std::error_code ec;
  for (auto it = fs::directory_iterator(packagedModelRoot(), ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    if (auto id = modelLocale(it->path().filename().string()); id && modelFiles(it->path())) ids.push_back(*id);
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

std::vector<std::string> installedSpeechModels() {
  std::vector<std::string> ids;
  std::error_code ec;
  for (auto it = fs::directory_iterator(speechModelStore(), ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (modelLocale(name) == name && modelFiles(it->path())) ids.push_back(name);
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

bool installSpeechModel(const std::string& locale, std::string* error) {
  std::optional<fs::path> source;
  std::error_code ec;
  for (auto it = fs::directory_iterator(packagedModelRoot(), ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    if (modelLocale(it->path().filename().string()) == locale && modelFiles(it->path())) source = it->path();
  }
  if (!source) {
    *error = "no packaged model for " + locale;
    return false;
  }
  fs::path store = speechModelStore();
  fs::path target = store / locale;
  if (modelFiles(target)) return true;
  fs::create_directories(store, ec);
  if (ec) {
    *error = "can't make " + store.string() + ": " + ec.message();
    return false;
  }
  // Built beside its final place and renamed into it, so that a model in the
  // store is always whole.
  fs::path partial = store / (".partial-" + locale + "-" + std::to_string(getpid()));
  fs::remove_all(partial, ec);
  // Hard links cost nothing where the store shares a file system with the
  // packaged models; elsewhere the files are copied.
  fs::copy(*source, partial, fs::copy_options::recursive | fs::copy_options::create_hard_links, ec);
  if (ec) {
    fs::remove_all(partial, ec);
    fs::copy(*source, partial, fs::copy_options::recursive, ec);
  }
  if (!ec) {
    fs::remove_all(target, ec);  // a broken model of the same name
    fs::rename(partial, target, ec);
  }
  if (ec) {
    *error = "can't install into " + target.string() + ": " + ec.message();
    std::error_code ignored;
    fs::remove_all(partial, ignored);
    return false;
  }
  return true;
}

}  // namespace lumeno
