#include "capture/hci_capture.h"

#include "wire/capture_format.h"

#include <cerrno>
#include <chrono>

namespace {

int64_t NowUnixMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

long WriteToFile(void* context, const uint8_t* data, size_t length, int) {
  std::FILE* file = static_cast<std::FILE*>(context);
  errno = 0;
  if (std::fwrite(data, 1, length, file) == length && std::fflush(file) == 0) return long(length);
  return -(errno != 0 ? errno : EIO);
}

void CloseFile(void* context) { std::fclose(static_cast<std::FILE*>(context)); }

// A file's write: all of it or an error number.
int WriteAll(const CaptureSink& sink, const std::vector<uint8_t>& bytes) {
  const long n = sink.write(sink.context, bytes.data(), bytes.size(), -1);
  if (n == long(bytes.size())) return 0;
  return n < 0 ? int(-n) : EIO;
}

void CloseSink(HciCapture* capture) TARNEXIO_REQUIRES(capture->lock) {
  if (capture->open && !capture->pipe && capture->records == 0 && capture->sink.closeEmpty != nullptr) {
    capture->sink.closeEmpty(capture->sink.context);
  } else if (capture->open && capture->sink.close != nullptr) {
    capture->sink.close(capture->sink.context);
  }
  capture->open = false;
}

// Ends the capture after a failed write to a file; the caller holds the lock.
void StopAfterFailure(HciCapture* capture) TARNEXIO_REQUIRES(capture->lock) {
  capture->capturing = false;
  CloseSink(capture);
}

// Writes a whole buffer to the pipe's reader, a little at a time so that a stop is seen:
// once the capture stops, the reader has until stopBy. 0, or an error number (the reader
// left); ETIMEDOUT when the stop's time ran out.
int WriteToReader(HciCapture* capture, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    {
      MutexLock hold(&capture->lock);
      if (capture->stopping && std::chrono::steady_clock::now() > capture->stopBy) return ETIMEDOUT;
    }
    const long n = capture->sink.write(capture->sink.context, bytes.data() + done, bytes.size() - done, 50);
    if (n < 0) return int(-n);
    done += size_t(n);
  }
  return 0;
}

// Asks the pipe's writer to stop: what is queued has a second to go out.
void AskWriterToStop(HciCapture* capture) TARNEXIO_REQUIRES(capture->lock) {
  capture->stopping = true;
  capture->stopBy = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  capture->wake.notify_all();
}

bool Stopping(HciCapture* capture) {
  MutexLock hold(&capture->lock);
  return capture->stopping;
}

// The pipe's writer: waits for a reader, gives it the header and then the queue; when the
// reader leaves, waits for the next. At the stop, what is queued goes out within a short
// while, then the end of the capture.
void RunPipeWriter(HciCapture* capture) {
  using Clock = std::chrono::steady_clock;
  for (;;) {
    if (Stopping(capture)) break;
    const int waited = capture->sink.awaitReader(capture->sink.context, 100);
    if (waited == EAGAIN) continue;
    if (waited != 0) break;
    std::vector<uint8_t> header;
    AppendCaptureHeader(header, capture->format, capture->application);
    if (WriteToReader(capture, header) != 0) {
      capture->sink.dropReader(capture->sink.context);
      continue;
    }
    {
      MutexLock hold(&capture->lock);
      capture->readerThere = true;
    }
    if (capture->onPipeEvent) capture->onPipeEvent(CAPTURE_READER_CAME);
    bool stopped = false;
    for (;;) {
      std::vector<uint8_t> next;
      {
        MutexLock hold(&capture->lock);
        while (!capture->stopping && capture->queue.empty()) capture->wake.wait(capture->lock);
        if (capture->queue.empty()) {
          stopped = true;
          break;
        }
        stopped = capture->stopping;
        next.swap(capture->queue.front());
        capture->queue.pop_front();
        capture->queued -= next.size();
      }
      if (WriteToReader(capture, next) != 0) {
        MutexLock hold(&capture->lock);
        capture->readerThere = false;
        // What was on its way to the reader that left never reaches a reader: lost too.
        capture->lost += 1 + capture->queue.size();
        capture->queue.clear();
        capture->queued = 0;
        stopped = capture->stopping;
        break;
      }
    }
    bool endToReader;
    std::vector<uint8_t> end;
    {
      MutexLock hold(&capture->lock);
      endToReader = stopped && capture->readerThere;
      if (endToReader) {
        AppendCaptureEnd(end, capture->format, capture->startMicros, NowUnixMicros(), capture->records,
                         capture->endDrops + capture->lost);
        capture->stopBy = Clock::now() + std::chrono::milliseconds(200);
      }
    }
    if (endToReader) {
      if (!end.empty()) WriteToReader(capture, end);
      break;
    }
    capture->sink.dropReader(capture->sink.context);
    if (Stopping(capture)) break;
    if (capture->onPipeEvent) capture->onPipeEvent(CAPTURE_READER_LEFT);
  }
}

}  // namespace

HciCapture::~HciCapture() {
  if (!writer.joinable()) return;
  {
    MutexLock hold(&lock);
    capturing = false;
    AskWriterToStop(this);
  }
  writer.join();
}

CaptureSink CaptureSinkOfFile(std::FILE* file) {
  std::setvbuf(file, nullptr, _IONBF, 0);
  CaptureSink sink;
  sink.context = file;
  sink.write = WriteToFile;
  sink.close = CloseFile;
  return sink;
}

int CaptureStart(HciCapture* capture, CaptureFormat format, const CaptureSink& sink, const std::string& application,
                 std::function<void(CapturePipeEvent)> onPipeEvent) {
  MutexLock hold(&capture->lock);
  capture->format = format;
  capture->sink = sink;
  capture->open = true;
  capture->application = application;
  capture->records = capture->lost = 0;
  capture->startMicros = NowUnixMicros();
  capture->pipe = sink.awaitReader != nullptr;
  capture->onPipeEvent = std::move(onPipeEvent);
  if (capture->pipe) {
    capture->stopping = capture->readerThere = false;
    capture->writer = std::thread(RunPipeWriter, capture);
    capture->capturing = true;
    return 0;
  }
  capture->record.clear();
  AppendCaptureHeader(capture->record, format, application);
  const int error = WriteAll(sink, capture->record);
  if (error != 0) {
    StopAfterFailure(capture);
    return error;
  }
  capture->capturing = true;
  return 0;
}

CaptureWriteResult CaptureWritePacket(HciCapture* capture, BtsnoopDirection direction, uint8_t h4Type,
                                      const uint8_t* packet, size_t length, uint64_t dropsSoFar, int* error) {
  if (!capture->capturing.load(std::memory_order_relaxed)) return CAPTURE_NOT_CAPTURING;
  MutexLock hold(&capture->lock);
  if (!capture->capturing.load(std::memory_order_relaxed)) return CAPTURE_NOT_CAPTURING;
  if (capture->pipe && !capture->readerThere) return CAPTURE_NOT_CAPTURING;
  // Stamped under the lock, so that the order of the records is the order of their times.
  std::vector<uint8_t>& record = capture->record;
  record.clear();
  AppendCaptureRecord(record, capture->format, direction, h4Type, packet, length, NowUnixMicros(),
                      dropsSoFar + capture->lost);
  if (capture->pipe) {
    if (capture->queued + record.size() > capture->queueLimit) {
      ++capture->lost;
      return CAPTURE_LOST;
    }
    capture->queued += record.size();
    capture->queue.emplace_back(record);
    ++capture->records;
    capture->wake.notify_one();
    return CAPTURE_WRITTEN;
  }
  *error = WriteAll(capture->sink, record);
  if (*error != 0) {
    StopAfterFailure(capture);
    return CAPTURE_WRITE_FAILED;
  }
  ++capture->records;
  return CAPTURE_WRITTEN;
}

uint64_t CaptureLost(HciCapture* capture) {
  MutexLock hold(&capture->lock);
  return capture->lost;
}

void CaptureStop(HciCapture* capture, uint64_t dropsSoFar) {
  MutexLock hold(&capture->lock);
  const bool wasCapturing = capture->capturing.exchange(false);
  capture->endDrops = dropsSoFar;
  if (capture->pipe && capture->writer.joinable()) {
    AskWriterToStop(capture);
    hold.Unlock();
    capture->writer.join();
    hold.Lock();
  } else if (wasCapturing && capture->open) {
    std::vector<uint8_t> end;
    AppendCaptureEnd(end, capture->format, capture->startMicros, NowUnixMicros(), capture->records,
                     dropsSoFar + capture->lost);
    if (!end.empty()) WriteAll(capture->sink, end);
  }
  CloseSink(capture);
}
