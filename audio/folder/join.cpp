#include "audio/folder/join.h"

#include <cmath>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "audio/base/events.h"
#include "audio/base/globals.h"
#include "audio/folder/folder_lock.h"
#include "audio/folder/folder_media.h"
#include "audio/folder/original.h"
#include "audio/folder/parts.h"
#include "audio/track/track.h"

namespace lumeno {

namespace {

std::string fileName(const std::filesystem::path& file) { return file.filename().string(); }

// Starts beyond latestStartMs are taken for damaged metadata: laying out that
// much silence would run for hours and fill the disk.
bool validStart(double startMs) { return std::isfinite(startMs) && startMs >= 0 && startMs <= latestStartMs; }

// The base file spans every later part: they are leftovers of a join whose
// clean-up did not finish.
bool laterPartsAreCovered(const std::vector<PartEntry>& entries) {
  if (entries.empty() || entries[0].part != 0) return false;
  double d0 = assetOf(entries[0].file).durationSeconds;
  if (!std::isfinite(d0)) return false;
  for (size_t i = 1; i < entries.size(); ++i) {
    double dk = assetOf(entries[i].file).durationSeconds;
    double sk = entries[i].startMs / 1000;
    if (!(std::isfinite(dk) && sk < d0 - 0.001 && sk + dk <= d0 + 0.1)) return false;
  }
  return true;
}

// One source's join. deleted collects the part numbers whose files are gone.
class SourceJoin {
 public:
  SourceJoin(const std::string& name, const std::filesystem::path& folder, const WriterFactory& writerFactory,
             std::set<int64_t>& deleted)
      : name_(name), folder_(folder), writerFactory_(writerFactory), deleted_(deleted) {}

  // True when the source succeeded.
  bool run() {
    entries_ = partsOf(name_, folder_);
    bool later = false;
    for (const auto& e : entries_) later = later || e.part >= 1;
    if (!later) return true;
    for (const auto& e : entries_) {
      if (!validStart(e.startMs)) {
        log("join: missing or invalid part timeline");
        return false;
      }
    }
    if (laterPartsAreCovered(entries_)) return dropLeftovers();
    return merge();
  }

 private:
  bool dropLeftovers() {
    for (size_t i = 1; i < entries_.size(); ++i) {
      if (auto ec = retainAudio(entries_[i].file, folder_)) {
        log("join: couldn't retain recovered parts: " + ec.message());
        return false;
      }
    }
    for (const auto& e : entries_) {
      if (e.part < 1) continue;
      std::error_code ec;
      if (!std::filesystem::remove(e.file, ec) || ec) {
        log("join: couldn't retain recovered parts: " +
            (ec ? ec.message() : std::string("no such file: ") + fileName(e.file)));
        return false;
      }
      deleted_.insert(e.part);
    }
    return true;
  }

  bool merge() {
    work_ = folder_ / (name_ + ".joined.m4a");
    std::error_code ec;
    std::filesystem::remove(work_, ec);
    track_ = Track::onFile(name_, work_, writerFactory_);
    track_->openWriter();
    int read = 0;
    for (const auto& e : entries_) {
      // The base file too: a part 0 killed in its first seconds must not
      // keep the later parts from being joined.
      if (holdsNoAudio(e.file)) {
        log("join: " + fileName(e.file) + " is empty; skipped");
        continue;
      }
      if (!copyPart(e)) return abandon();
      ++read;
    }
    if (read == 0) {
      log("join: nothing readable for " + name_);
      track_->cancel();
      return false;
    }
    Group group;
    track_->finish(group);
    group.wait();
    auto decoded = track_->writerCompleted() ? decodedAudio(work_, nullptr) : std::nullopt;
    if (!decoded || std::fabs(*decoded - double(track_->pts) / 48) > 1000) {
      log("join: could not write the joined file for " + name_);
      std::filesystem::remove(work_, ec);
      return false;
    }
    return commit();
  }

  // Lays one part out after silence up to its start; false abandons the source.
  bool copyPart(const PartEntry& e) {
    Asset asset = assetOf(e.file);
    std::unique_ptr<AssetReader> reader = asset.hasAudioTrack ? readerOf(e.file) : nullptr;
    if (!reader) {
      log("join: unreadable " + fileName(e.file) + "; keeping all parts");
      return false;
    }
    if (!reader->startReading()) {
      log("join: can't read " + fileName(e.file) + ": " + reader->errorDescription());
      return false;
    }
    if (!padTo(static_cast<int64_t>(e.startMs * 48))) return false;
    for (;;) {
      std::optional<PcmBuffer> buffer = reader->copyNextSampleBuffer();
      if (!buffer) {
        if (reader->status() != ReaderStatus::completed) return false;
        if (double ms = reader->replacedMs(); ms > 0) log("join: " + fileName(e.file) + ": " + replacedBySilence(ms));
        return true;
      }
      uint32_t n = buffer->frameLength();
      if (n < 1) return false;
      if (!(buffer->format() == mono48)) {
        log("join: bad audio in part " + std::to_string(e.part));
        return false;
      }
      int64_t before = track_->pts;
      track_->write(*buffer);
      if (track_->pts != before + n) return false;
    }
  }

  // Silence up to target; nothing when the part overlaps what is written.
  bool padTo(int64_t target) {
    track_->padTo(target);
    return track_->pts >= target;
  }

  bool abandon() {
    track_->cancel();
    std::error_code ec;
    std::filesystem::remove(work_, ec);
    return false;
  }

  bool commit() {
    std::filesystem::path final = folder_ / (name_ + ".m4a");
    std::error_code ec;
    for (const auto& e : entries_) {
      ec = retainAudio(e.file, folder_);
      if (ec) break;
    }
    // One rename both replaces an existing base file and moves into an empty place.
    if (!ec) std::filesystem::rename(work_, final, ec);
    if (ec) {
      log("join: can't write " + final.string() + ": " + ec.message());
      return false;
    }
    for (const auto& e : entries_) {
      if (e.part < 1) continue;
      std::error_code ignored;
      std::filesystem::remove(e.file, ignored);
      deleted_.insert(e.part);
    }
    return true;
  }

  const std::string name_;
  const std::filesystem::path folder_;
  const WriterFactory& writerFactory_;
  std::set<int64_t>& deleted_;
  std::vector<PartEntry> entries_;
  std::filesystem::path work_;
  std::shared_ptr<Track> track_;
};

// Deletes the part metadata files whose part has no audio file of either
// source left: those of a join that ended between its last commit and its
// clean-up, or of a part that wrote no audio. inspect would refuse the
// folder for them for good. Other names are left alone.
void clearOrphanedMetadata(const std::filesystem::path& folder) {
  std::set<int64_t> withAudio;
  for (const char* name : trackNames)
    for (const auto& e : partsOf(name, folder)) withAudio.insert(e.part);
  std::vector<std::filesystem::path> orphans;
  std::error_code ec;
  std::filesystem::directory_iterator it(folder, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    auto part = metadataPartOf(fileName(it->path()));
    std::error_code typeError;
    if (part && !withAudio.count(*part) && it->symlink_status(typeError).type() == std::filesystem::file_type::regular)
      orphans.push_back(it->path());
  }
  if (ec) return;  // a partial listing could make a part look gone
  for (const auto& file : orphans) {
    std::error_code removeError;
    if (std::filesystem::remove(file, removeError)) log("join: " + fileName(file) + " describes no part file; deleted");
  }
}

}  // namespace

std::optional<double> decodedAudio(const std::filesystem::path& file, Track* track, double* replacedMs) {
  if (!assetOf(file).hasAudioTrack) return std::nullopt;
  std::unique_ptr<AssetReader> reader = readerOf(file);
  if (!reader || !reader->startReading()) return std::nullopt;
  int64_t frames = 0;
  for (;;) {
    std::optional<PcmBuffer> buffer = reader->copyNextSampleBuffer();
    if (!buffer) {
      if (reader->status() != ReaderStatus::completed) return std::nullopt;
      if (replacedMs) *replacedMs = reader->replacedMs();
      return double(frames) / 48;
    }
    uint32_t n = buffer->frameLength();
    if (n < 1) continue;
    if (track) {
      if (!(buffer->format() == mono48)) return std::nullopt;
      int64_t before = track->pts;
      track->write(*buffer);
      if (track->pts != before + n) return std::nullopt;
    }
    frames += n;
  }
}

int joinParts(const std::filesystem::path& folder, const WriterFactory& writerFactory) {
  bool failed = false;
  std::set<int64_t> deleted;
  for (const char* name : trackNames) {
    if (!SourceJoin(name, folder, writerFactory, deleted).run()) failed = true;
  }
  if (failed) return 1;
  for (int64_t part : deleted) {
    std::error_code ignored;
    std::filesystem::remove(partMetadataFile(folder, part), ignored);
  }
  clearOrphanedMetadata(folder);
  return 0;
}

int joinParts(const std::filesystem::path& folder) {
  if (holdForTool(folder) == FolderLock::busy) {
    log("join: " + folder.string() + " is being recorded");
    return 1;
  }
  return joinParts(folder, makeFileWriter);
}

}  // namespace lumeno
