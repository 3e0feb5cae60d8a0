#include "zip/entry_pipeline.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/errors.h"
#include "platform/thread_interrupter.h"
#include "zip/stored_directory.h"
#include "zip/zip_errors.h"

namespace tessel {
namespace {

// Data move from a worker to the operation's thread in chunks of this size.
constexpr uint32_t kChunkSize = 262144;
// The data of the file being written that may wait in memory before its
// worker waits for the archive to take them.
constexpr uint64_t kHeadPipeLimit = 4 * uint64_t{kChunkSize};
// The prefix of the spill file: that of temporary archives, so that a killed
// run's spill file is recognised as stale and removed like them, and never
// packed.
constexpr const char* kSpillPrefix = "QWX";

// How often a stopping pipeline signals a worker that has not ended yet: a
// signal sent just before the worker blocks in a read would be lost.
constexpr auto kWakeInterval = std::chrono::milliseconds(2);

// Thrown on a worker when the pipeline stops; ends the worker.
struct Stopped {};
// Thrown on a worker when the operation no longer wants its file; the
// worker goes on with the next one.
struct Dropped {};

std::unique_ptr<uint8_t[]> NewChunk(size_t size) { return std::make_unique_for_overwrite<uint8_t[]>(size); }

}  // namespace

struct EntryPipeline::Item {
  enum class Kind : uint8_t { kBegin, kData, kDiscard };
  Kind What = Kind::kData;
  bool LocalZip64 = false;  // kBegin
  uint32_t Size = 0;        // kData
  std::unique_ptr<uint8_t[]> Data;  // null: the bytes wait in the spill file at Offset
  uint64_t Offset = 0;
};

// Wake-ups decided with the lock held and sent once it is released (this
// object is made before the lock is taken), so that a woken thread does not
// at once wait for the lock.
class EntryPipeline::Wakeups {
public:
  explicit Wakeups(EntryPipeline& pipeline) : p_(pipeline) {}
  ~Wakeups() {
    if (writer_) p_.writer_cv_.notify_one();
    if (workers_) p_.work_cv_.notify_all();
  }
  Wakeups(const Wakeups&) = delete;
  Wakeups& operator=(const Wakeups&) = delete;
  // With the lock held: the operation's thread, when it waits for this file.
  void Writer(size_t index) { writer_ |= p_.writer_waits_for_ == index; }
  // With the lock held: the workers, when any of them waits.
  void Workers() { workers_ |= p_.workers_waiting_ != 0; }

private:
  EntryPipeline& p_;
  bool writer_ = false;
  bool workers_ = false;
};

struct EntryPipeline::Job {
  // Read without the lock by the worker, which checks them often.
  std::atomic<bool> Dropped{false};
  std::atomic<uint64_t> Read{0};  // bytes read in the current attempt

  bool Opened = false;
  OpenStatus Status = OpenStatus::osFailed;
  int ErrorNumber = 0;

  std::vector<Item> Items;  // made, not yet taken by the operation's thread
  Held Waiting;             // bytes of its data waiting (queued or being written)
  int64_t Counted = 0;      // bytes this job added to BytesDone; the worker's while it works
  bool Finished = false;    // the worker is done with it
  EncodedEntry Result;
  std::exception_ptr Error;
};

// A worker thread's state: its encoder, and the sink and observer through
// which the encoder hands the file's data and progress to the pipeline.
class EntryPipeline::Worker final : public EntrySink, public EntryReadObserver {
public:
  explicit Worker(EntryPipeline& pipeline) : p_(pipeline), chunk_(NewChunk(kChunkSize)) {}

  // Opens, reads and encodes one file; Stopped passes through.
  void Process(size_t index, Job& job);

  // The worker's thread, from its start to its end: a stop wakes it from a
  // read it is blocked in.
  void Attach() { interrupter_.Attach(); }
  void Detach() {
    interrupter_.Detach();
    ended_.store(true);
  }
  bool Ended() const { return ended_.load(); }
  void Interrupt() const { interrupter_.Interrupt(); }

  void Begin(bool local_zip64) override {
    filled_ = 0;
    Item item;
    item.What = Item::Kind::kBegin;
    item.LocalZip64 = local_zip64;
    p_.Push(index_, std::move(item));
  }
  void Write(const uint8_t* data, uint32_t count) override {
    p_.CheckLive(*job_);
    while (count > 0) {
      const uint32_t n = std::min(count, kChunkSize - filled_);
      std::memcpy(chunk_.get() + filled_, data, n);
      filled_ += n;
      data += n;
      count -= n;
      if (filled_ == kChunkSize) Flush(true);
    }
  }
  void Discard() override {
    filled_ = 0;
    Item item;
    item.What = Item::Kind::kDiscard;
    p_.Push(index_, std::move(item));
  }
  void Read(uint32_t count) override {
    p_.CheckLive(*job_);
    job_->Read.fetch_add(count, std::memory_order_relaxed);
    if (p_.settings_.BytesDone != nullptr) {
      p_.settings_.BytesDone->fetch_add(count, std::memory_order_relaxed);
      job_->Counted += count;
    }
  }
  void Void() override {
    if (p_.settings_.BytesDone != nullptr) p_.settings_.BytesDone->fetch_sub(job_->Counted, std::memory_order_relaxed);
    job_->Counted = 0;
    job_->Read.store(0, std::memory_order_relaxed);
  }

private:
  // Hands the chunk gathered so far to the pipeline; wake_writer: the
  // operation's thread is woken for it (the last chunk of a file is
  // announced by the file's end).
  void Flush(bool wake_writer) {
    if (filled_ == 0) return;
    Item item;
    item.Size = filled_;
    if (filled_ == kChunkSize) {
      item.Data = std::move(chunk_);
    } else {
      // A small entry's data keep no more memory than they need.
      item.Data = NewChunk(filled_);
      std::memcpy(item.Data.get(), chunk_.get(), filled_);
    }
    filled_ = 0;
    // The hand-over may throw (a stop, a file no longer wanted, a full
    // disk), and the worker then goes on with its next file: it must have a
    // chunk to gather into either way.
    try {
      p_.PushData(index_, item, wake_writer);
    } catch (...) {
      Refill(item);
      throw;
    }
    Refill(item);
  }
  // A new chunk in place of one handed over: the same one when the pipeline
  // left it here.
  void Refill(Item& item) {
    if (!chunk_) chunk_ = item.Data && item.Size == kChunkSize ? std::move(item.Data) : NewChunk(kChunkSize);
  }

  EntryPipeline& p_;
  EntryEncoder encoder_;
  ThreadInterrupter interrupter_;
  std::atomic<bool> ended_{false};
  std::unique_ptr<uint8_t[]> chunk_;
  uint32_t filled_ = 0;
  size_t index_ = 0;
  Job* job_ = nullptr;
};

void EntryPipeline::Worker::Process(size_t index, Job& job) {
  index_ = index;
  job_ = &job;
  filled_ = 0;
  const PipelineFile& file = p_.files_[index];
  const std::string& path = *file.Path;
  OpenedFile opened = OpenListedFile(path, file.FollowLinks);
  p_.SetOpened(index, opened);
  if (opened.Status != OpenStatus::osOpened) {
    p_.Finish(index, nullptr, nullptr);
    return;
  }
  try {
    const SourceFile facts{opened.Handle.Get(), *file.Listed, opened.OpenedAt};
    auto stream = std::make_unique<TFileHandleStream>(opened.Handle.Release(), path);
    // The signal of a stop ends a read that blocks; any other lets it go on.
    stream->OnInterrupted = [this] { p_.CheckLive(*job_); };
    std::unique_ptr<TStream> source = std::move(stream);
    if (p_.settings_.SourceWrapper) source = p_.settings_.SourceWrapper(std::move(source));
    const int level = p_.settings_.Level;
    const bool store = StoresEntry(level, p_.settings_.NoCompressList, LastComponent(path));
    const EncodedEntry result = encoder_.Encode(*source, facts, store, level, *this, *this);
    source.reset();
    Flush(false);
    p_.Finish(index, &result, nullptr);
  } catch (const Dropped&) {
    p_.Abandon(index);
  } catch (const Stopped&) {
    throw;
  } catch (...) {
    p_.Finish(index, nullptr, std::current_exception());
  }
}

// ------------------------------------------------------------------ set-up

EntryPipeline::EntryPipeline(PipelineSettings settings, std::vector<PipelineFile> files)
    : settings_(std::move(settings)), files_(std::move(files)), jobs_(files_.size()),
      read_buffer_(NewChunk(kChunkSize)) {
  const size_t count = std::max<size_t>(1, std::min<size_t>(settings_.Workers, files_.size()));
  // Every encoder is made here, so that a failure to allocate one ends the
  // operation before any thread runs.
  for (size_t i = 0; i < count; ++i) workers_.push_back(std::make_unique<Worker>(*this));
  try {
    for (auto& worker : workers_) threads_.emplace_back([this, w = worker.get()] { WorkerMain(*w); });
  } catch (...) {
    StopWorkers();
    throw;
  }
}

EntryPipeline::~EntryPipeline() {
  StopWorkers();
  if (spill_.Handle.IsOpen()) {
    TryDeleteFile(spill_.Path);
    spill_.Handle.Close();
  }
}

void EntryPipeline::StopWorkers() noexcept {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_cv_.notify_all();
  for (size_t i = 0; i < threads_.size(); ++i) {
    if (!threads_[i].joinable()) continue;
    // A worker blocked in a read hears of the stop only through a signal.
    while (!workers_[i]->Ended()) {
      workers_[i]->Interrupt();
      std::this_thread::sleep_for(kWakeInterval);
    }
    threads_[i].join();
  }
  threads_.clear();
}

void EntryPipeline::Release(size_t count) {
  Wakeups wake(*this);
  std::lock_guard lock(mutex_);
  released_ = std::min(std::max(released_, count), files_.size());
  wake.Workers();
}

EntryPipeline::Ticket EntryPipeline::Next() { return Ticket(this, cursor_); }

uint64_t EntryPipeline::SpilledBytes() const { return spilled_.load(std::memory_order_relaxed); }

// ------------------------------------------------------------ worker side

void EntryPipeline::WorkerMain(Worker& worker) {
  worker.Attach();
  struct Detach {
    Worker& worker;
    ~Detach() { worker.Detach(); }
  } detach{worker};
  try {
    for (;;) {
      size_t index = 0;
      Job* job = nullptr;
      {
        std::unique_lock lock(mutex_);
        while (!(stop_ || next_ >= files_.size() || (next_ < released_ && next_ < cursor_ + kMaxJobsAhead))) {
          WaitForWork(lock);
        }
        if (stop_ || next_ >= files_.size()) return;
        index = next_++;
        if (index < cursor_) continue;  // dropped before anyone took it
        jobs_[index] = std::make_unique<Job>();
        job = jobs_[index].get();
      }
      worker.Process(index, *job);
    }
  } catch (const Stopped&) {
  } catch (...) {
    std::lock_guard lock(mutex_);
    if (!failure_) failure_ = std::current_exception();
    writer_cv_.notify_all();  // whatever the operation waits for
  }
}

void EntryPipeline::CheckLive(const Job& job) const {
  if (stop_.load(std::memory_order_relaxed)) throw Stopped{};
  if (job.Dropped.load(std::memory_order_relaxed)) throw Dropped{};
}

void EntryPipeline::SetOpened(size_t index, const OpenedFile& opened) {
  Wakeups wake(*this);
  std::lock_guard lock(mutex_);
  Job& job = *jobs_[index];
  job.Opened = true;
  job.Status = opened.Status;
  job.ErrorNumber = opened.ErrorNumber;
  // A file that opened is announced by its data or its end: one wake-up
  // for a small file instead of several.
  if (opened.Status != OpenStatus::osOpened) wake.Writer(index);
}

void EntryPipeline::Push(size_t index, Item item) {
  Wakeups wake(*this);
  std::lock_guard lock(mutex_);
  Job& job = *jobs_[index];
  CheckLive(job);
  if (item.What == Item::Kind::kDiscard) {
    // What the operation has not taken yet need not travel at all; it only
    // has to undo what it took.
    Held dropped;
    for (const Item& queued : job.Items) {
      if (queued.What == Item::Kind::kData) (queued.Data ? dropped.Memory : dropped.Disk) += queued.Size;
    }
    ReleaseHeld(&job, dropped, wake);
    job.Items.clear();
  }
  // Data or the file's end follow, and wake the operation's thread.
  job.Items.push_back(std::move(item));
}

void EntryPipeline::PushData(size_t index, Item& item, bool wake_writer) {
  Wakeups wake(*this);
  std::unique_lock lock(mutex_);
  Job& job = *jobs_[index];
  for (;;) {
    CheckLive(job);
    if (index == cursor_) {
      // Its turn: the archive takes the data as they come.
      if (job.Waiting.Memory < kHeadPipeLimit) break;
      WaitForWork(lock);
      continue;
    }
    if (held_.Memory + item.Size <= settings_.MemoryLimit) break;
    if (held_.Disk + item.Size <= settings_.DiskLimit) break;
    // Ahead of its turn with no room left: the worker waits until the
    // archive takes data or its file's turn comes.
    WaitForWork(lock);
  }
  if (index == cursor_ || held_.Memory + item.Size <= settings_.MemoryLimit) {
    held_.Memory += item.Size;
    job.Waiting.Memory += item.Size;
    job.Items.push_back(std::move(item));
    if (wake_writer) wake.Writer(index);
    return;
  }
  {
    // Ahead of its turn and no room in memory: the chunk waits on disk.
    if (!spill_.Handle.IsOpen()) spill_ = MakeTempFile(settings_.SpillFolder, kSpillPrefix);
    const int fd = spill_.Handle.Get();
    const uint64_t offset = spill_end_;
    spill_end_ += item.Size;
    held_.Disk += item.Size;
    job.Waiting.Disk += item.Size;
    lock.unlock();
    const uint8_t* data = item.Data.get();
    for (uint32_t done = 0; done < item.Size;) {
      const ssize_t n = ::pwrite(fd, data + done, item.Size - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        const int error = n < 0 ? errno : ENOSPC;
        if (IsOutOfSpaceError(error)) throw ENotEnoughRoom();
        ThrowHostError("Cannot write", spill_.Path, error);
      }
      done += static_cast<uint32_t>(n);
    }
    lock.lock();
    CheckLive(job);
    Item spilled;
    spilled.Size = item.Size;
    spilled.Offset = offset;
    job.Items.push_back(std::move(spilled));
    spilled_.fetch_add(item.Size, std::memory_order_relaxed);
    if (wake_writer) wake.Writer(index);
  }
}

void EntryPipeline::Finish(size_t index, const EncodedEntry* result, std::exception_ptr error) {
  Wakeups wake(*this);
  std::lock_guard lock(mutex_);
  Job& job = *jobs_[index];
  if (result != nullptr) job.Result = *result;
  job.Error = std::move(error);
  job.Finished = true;
  if (job.Dropped) {
    FreeJob(index, true, wake);
  } else {
    wake.Writer(index);
  }
}

void EntryPipeline::Abandon(size_t index) {
  Wakeups wake(*this);
  std::lock_guard lock(mutex_);
  // Dropped: the operation has gone past it and will not come back.
  FreeJob(index, true, wake);
}

void EntryPipeline::ReleaseHeld(Job* job, const Held& bytes, Wakeups& wake) {
  held_.Memory -= bytes.Memory;
  held_.Disk -= bytes.Disk;
  if (job != nullptr) {
    job->Waiting.Memory -= bytes.Memory;
    job->Waiting.Disk -= bytes.Disk;
  }
  if (bytes.Memory != 0 || bytes.Disk != 0) wake.Workers();
}

void EntryPipeline::WaitForWork(std::unique_lock<std::mutex>& lock) {
  ++workers_waiting_;
  work_cv_.wait(lock);
  --workers_waiting_;
}

void EntryPipeline::WaitForWorker(std::unique_lock<std::mutex>& lock, size_t index, const Poll& poll) {
  writer_waits_for_ = index;
  writer_cv_.wait_for(lock, kPollInterval);
  writer_waits_for_ = kNobody;
  lock.unlock();
  poll();
  lock.lock();
}

void EntryPipeline::FreeJob(size_t index, bool void_bytes, Wakeups& wake) {
  Job& job = *jobs_[index];
  ReleaseHeld(nullptr, job.Waiting, wake);
  if (void_bytes && settings_.BytesDone != nullptr)
    settings_.BytesDone->fetch_sub(job.Counted, std::memory_order_relaxed);
  jobs_[index].reset();
}

// --------------------------------------------------------- operation side

OpenedFile EntryPipeline::WaitOpened(size_t index, const Poll& poll) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (failure_) std::rethrow_exception(failure_);
    const Job* job = jobs_[index].get();
    if (job != nullptr && job->Opened) {
      OpenedFile opened;
      opened.Status = job->Status;
      opened.ErrorNumber = job->ErrorNumber;
      return opened;
    }
    WaitForWorker(lock, index, poll);
  }
}

EncodedEntry EntryPipeline::Deliver(size_t index, EntrySink& sink, const Poll& poll) {
  std::vector<Item> batch;
  for (;;) {
    bool finished = false;
    Held batch_bytes;
    {
      std::unique_lock lock(mutex_);
      Job& job = *jobs_[index];
      while (job.Items.empty() && !job.Finished) {
        if (failure_) std::rethrow_exception(failure_);
        WaitForWorker(lock, index, poll);
      }
      batch.swap(job.Items);
      finished = job.Finished;
      for (const Item& item : batch) {
        if (item.What == Item::Kind::kData) (item.Data ? batch_bytes.Memory : batch_bytes.Disk) += item.Size;
      }
    }
    // The batch's bytes count as waiting until they are written (or the
    // write fails).
    struct Release {
      EntryPipeline& p;
      size_t index;
      Held bytes;
      ~Release() {
        Wakeups wake(p);
        std::lock_guard lock(p.mutex_);
        p.ReleaseHeld(p.jobs_[index].get(), bytes, wake);
      }
    } release{*this, index, batch_bytes};
    // Progress first, as when a file is read on this thread: a stop asked
    // for there is seen at the writes that follow.
    poll();
    for (Item& item : batch) {
      switch (item.What) {
        case Item::Kind::kBegin:
          sink.Begin(item.LocalZip64);
          break;
        case Item::Kind::kDiscard:
          sink.Discard();
          break;
        case Item::Kind::kData:
          if (item.Data) {
            sink.Write(item.Data.get(), item.Size);
          } else {
            ReadSpilled(item.Offset, item.Size);
            sink.Write(read_buffer_.get(), item.Size);
          }
          break;
      }
    }
    batch.clear();
    if (finished) {
      std::lock_guard lock(mutex_);
      Job& job = *jobs_[index];
      if (job.Error) std::rethrow_exception(job.Error);
      return job.Result;
    }
  }
}

void EntryPipeline::ReadSpilled(uint64_t offset, uint32_t size) {
  const int fd = spill_.Handle.Get();
  for (uint32_t done = 0; done < size;) {
    const ssize_t n = ::pread(fd, read_buffer_.get() + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ThrowHostError("Cannot read", spill_.Path, n < 0 ? errno : EIO);
    done += static_cast<uint32_t>(n);
  }
  // The bytes are taken: their room on disk goes back, where the file system
  // allows it.
  (void)::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
              static_cast<off_t>(size));
}

void EntryPipeline::Consume(size_t index, bool written) {
  Wakeups wake(*this);
  std::lock_guard lock(mutex_);
  if (Job* job = jobs_[index].get()) {
    if (job->Finished) {
      FreeJob(index, !written, wake);
    } else {
      job->Dropped = true;  // its worker frees it when it notices
    }
  }
  cursor_ = index + 1;
  // A file's turn has come, and the workers may run one file further.
  wake.Workers();
}

uint64_t EntryPipeline::BytesRead(size_t index) const {
  std::lock_guard lock(mutex_);
  const Job* job = jobs_[index].get();
  return job != nullptr ? job->Read.load(std::memory_order_relaxed) : 0;
}

// ------------------------------------------------------------------ ticket

EntryPipeline::Ticket::~Ticket() {
  if (!done_) pipeline_->Consume(index_, false);
}

OpenedFile EntryPipeline::Ticket::Opened(const Poll& poll) { return pipeline_->WaitOpened(index_, poll); }

EncodedEntry EntryPipeline::Ticket::Deliver(EntrySink& sink, const Poll& poll) {
  EncodedEntry result = pipeline_->Deliver(index_, sink, poll);
  done_ = true;
  pipeline_->Consume(index_, true);
  return result;
}

uint64_t EntryPipeline::Ticket::BytesRead() const { return pipeline_->BytesRead(index_); }

}  // namespace tessel
