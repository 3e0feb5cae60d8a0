#pragma once
// The workers of a zip operation that uses several cores, and the hand-over
// of what they make to the operation's own thread, which writes the archive
// in the order a one-thread run would. Each worker takes the next file in
// that order, opens it and encodes it (EntryEncoder) into a queue of its own;
// the operation's thread takes the files one by one through a Ticket, learns
// what opening found, and replays each queue into the archive exactly as
// the encoder would have written it there.
//
// Memory stays bounded whatever the file sizes: the data of the file being
// written wait in memory only up to a small pipe, and the worker making them
// waits when the pipe is full; data that are made ahead of their turn wait
// in memory up to MemoryLimit for all workers together, beyond that in a
// spill file ("QWX" and six characters, locked while it lives, like a
// temporary archive) in SpillFolder up to DiskLimit, and beyond that their
// worker waits. Data taken from the spill file give their room on disk back.
// Workers run at most kMaxJobsAhead files ahead of the file being written.
// The file being written is always being worked on or done, and its data
// never wait for room, so nothing waits for ever. A worker blocked in a read
// (a FIFO put in a file's place, a hung network file) is woken by a signal
// when the pipeline stops.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_system.h"
#include "zip/buffer_stream.h"
#include "zip/entry_encoder.h"

namespace tessel {

// One file for the workers: its path and what the file list's listing said
// of it (both must outlive the pipeline), and whether a link in its place is
// followed (a file the job names whole) or refused.
struct PipelineFile {
  const std::string* Path = nullptr;
  const FileInfo* Listed = nullptr;
  bool FollowLinks = false;
};

struct PipelineSettings {
  unsigned Workers = 2;
  int Level = 6;  // as the operation compresses: above 9 taken as 9, 0 or below stores
  std::vector<std::string> NoCompressList;
  // Put between every source file and its reader; called on the workers.
  TStreamWrapper SourceWrapper;
  std::string SpillFolder;      // "" is the current folder
  uint64_t MemoryLimit = 0;     // bytes of data made ahead of their turn held in memory
  uint64_t DiskLimit = 0;       // and in the spill file
  // Where the bytes read are added (and taken back when a read is void), or
  // null when they are not counted.
  std::atomic<int64_t>* BytesDone = nullptr;
};

class EntryPipeline {
public:
  // How far the workers may run ahead of the file being written.
  static constexpr size_t kMaxJobsAhead = 4096;

  // files: the files to read, in the order the operation takes them. Starts
  // the workers (at most one per file); none takes a file before Release.
  EntryPipeline(PipelineSettings settings, std::vector<PipelineFile> files);
  // Stops the workers wherever they are (a read they are blocked in
  // included), joins them and removes the spill file. Never throws.
  ~EntryPipeline();
  EntryPipeline(const EntryPipeline&) = delete;
  EntryPipeline& operator=(const EntryPipeline&) = delete;

  // The workers may take the first count files.
  void Release(size_t count);

  // Called on the operation's thread while it waits for a worker, at least
  // every kPollInterval; it may throw (a cancel) to give the wait up.
  using Poll = std::function<void()>;
  static constexpr auto kPollInterval = std::chrono::milliseconds(50);

  class Ticket;
  // Whether path (a pointer the pipeline was given) is the next file in
  // order; a file read out of order is read by the operation itself.
  bool NextIs(const std::string* path) const { return cursor_ < files_.size() && files_[cursor_].Path == path; }
  // The next file in order, for the operation's thread.
  Ticket Next();

  // Bytes that had to wait in the spill file so far.
  uint64_t SpilledBytes() const;
  unsigned Workers() const { return static_cast<unsigned>(threads_.size()); }

private:
  struct Item;
  struct Job;
  // Bytes of data made ahead of their turn, waiting in memory and on disk.
  struct Held {
    uint64_t Memory = 0;
    uint64_t Disk = 0;
  };
  class Worker;

  // Operation side.
  OpenedFile WaitOpened(size_t index, const Poll& poll);
  EncodedEntry Deliver(size_t index, EntrySink& sink, const Poll& poll);
  void Consume(size_t index, bool written);
  uint64_t BytesRead(size_t index) const;
  void ReadSpilled(uint64_t offset, uint32_t size);

  void StopWorkers() noexcept;

  // Worker side.
  void WorkerMain(Worker& worker);
  void SetOpened(size_t index, const OpenedFile& opened);
  void Push(size_t index, Item item);
  // Queues a chunk of data (item.Data of item.Size bytes) in memory or, when
  // it must wait beyond MemoryLimit, in the spill file, waiting for room
  // beyond DiskLimit; a chunk that went to the spill file leaves item.Data
  // with the caller. Begin and Discard (Push) wake nobody: data or the
  // file's end follow.
  void PushData(size_t index, Item& item, bool wake_writer);
  void Finish(size_t index, const EncodedEntry* result, std::exception_ptr error);
  void Abandon(size_t index);
  // Throws when the worker must give its file up: the pipeline stops, or
  // the operation dropped the file.
  void CheckLive(const Job& job) const;
  class Wakeups;
  // With the lock held: frees a job nobody needs any more.
  void FreeJob(size_t index, bool void_bytes, Wakeups& wake);
  // With the lock held: bytes no longer wait (of job, when not null).
  void ReleaseHeld(Job* job, const Held& bytes, Wakeups& wake);
  // The waits release the lock while they wait; the operation's thread
  // polls after each.
  void WaitForWork(std::unique_lock<std::mutex>& lock);
  void WaitForWorker(std::unique_lock<std::mutex>& lock, size_t index, const Poll& poll);

  PipelineSettings settings_;
  std::vector<PipelineFile> files_;

  mutable std::mutex mutex_;
  std::condition_variable work_cv_;    // workers: a file to take, room in the pipe, a stop
  std::condition_variable writer_cv_;  // the operation's thread: its file moved on
  std::vector<std::unique_ptr<Job>> jobs_;  // a job lives from its taking until nobody needs it
  size_t released_ = 0;
  size_t next_ = 0;     // the next file a worker takes
  size_t cursor_ = 0;   // the file being written; all before it are done with
  Held held_;
  std::atomic<bool> stop_{false};  // set with the lock held
  static constexpr size_t kNobody = SIZE_MAX;
  size_t writer_waits_for_ = kNobody;  // the file the operation's thread waits for
  size_t workers_waiting_ = 0;
  std::exception_ptr failure_;  // a worker that could not go on at all

  TempFile spill_;
  uint64_t spill_end_ = 0;
  std::atomic<uint64_t> spilled_{0};
  std::unique_ptr<uint8_t[]> read_buffer_;  // the operation's thread reads spilled data into it

  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<std::thread> threads_;
};

// One file of the pipeline in the operation's hands. A ticket that goes
// without having delivered its entry drops the file: the worker stops
// reading it, and bytes it counted are taken back.
class EntryPipeline::Ticket {
public:
  Ticket(Ticket&& other) noexcept : pipeline_(other.pipeline_), index_(other.index_), done_(other.done_) {
    other.done_ = true;
  }
  Ticket& operator=(Ticket&&) = delete;
  ~Ticket();

  // What opening the file found (status and error); the handle stays with
  // the worker. Waits for the worker as long as it takes.
  OpenedFile Opened(const Poll& poll);
  // Replays the entry's data into sink as the encoder wrote them (Begin,
  // Write, Discard) and returns what it made of the file, waiting for the
  // worker as long as it takes. An error of the worker on this file (a
  // spill file that cannot be written) is raised here.
  EncodedEntry Deliver(EntrySink& sink, const Poll& poll);
  // Bytes read from the file in its current attempt.
  uint64_t BytesRead() const;

private:
  friend class EntryPipeline;
  Ticket(EntryPipeline* pipeline, size_t index) : pipeline_(pipeline), index_(index) {}

  EntryPipeline* pipeline_;
  size_t index_;
  bool done_ = false;
};

}  // namespace tessel
