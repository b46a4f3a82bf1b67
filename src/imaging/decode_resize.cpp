// Decoding straight into a resize. A photo of 13 megapixels is 39 MB of RGB, and its resize
// needs it only a filter's height at a time: rows go from the decoder into the resampler in
// small bands, so the full-size pixels never exist. Where a second CPU is free the decoder runs
// on it and the resampler on the calling thread, each band handed over through a small pool.
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "imaging/codecs/codecs.hpp"
#include "imaging/imaging.hpp"
#include "imaging/pixel_util.hpp"
#include "imaging/resample.hpp"
#include "support/cpus.hpp"

namespace img_util::imaging {
namespace {

constexpr int kBandRows = 16;

// What the decoder reports before its first row.
struct Decoded {
  Mode mode;
  int width, height;
};

// Rows that can be resized as they come: upright, and without alpha (which is resampled
// premultiplied over the whole image).
bool streamable(Mode mode, int orientation) {
  return orientation == 1 && (mode == Mode::L || mode == Mode::RGB);
}

// The resized pixels with what the image carries besides them.
Image finished(const Image& source, Image pixels) {
  detail::derive_from(source, pixels);
  return pixels;
}

// Single thread: the decoder fills one band, which is resized at once.
class ResizeSink : public codec::RowSink {
 public:
  ResizeSink(const Image& source, int width, int height)
      : source_(source), width_(width), height_(height) {}

  bool start(Mode mode, int width, int height, int orientation) override {
    if (!streamable(mode, orientation)) return false;
    decoded_ = Decoded{mode, width, height};
    stride_ = static_cast<size_t>(width) * mode_bands(mode);
    return true;
  }
  uint8_t* band(int, int& rows, size_t& stride) override {
    // Made with the first rows: a progressive decoder reads its whole file before those, and
    // that is when it holds the most memory.
    if (!resizer_) {
      resizer_.emplace(decoded_->width, decoded_->height, decoded_->mode, width_, height_);
      band_.resize(stride_ * kBandRows);
    }
    rows = std::min(rows, kBandRows);
    stride = stride_;
    return band_.data();
  }
  void commit(int rows) override { resizer_->push_rows(band_.data(), stride_, rows); }

  // Nothing when the stream was declined.
  std::optional<Image> result() {
    if (!resizer_) return std::nullopt;
    return finished(source_, std::move(*resizer_).take());
  }

 private:
  const Image& source_;
  int width_, height_;
  std::optional<Decoded> decoded_;
  std::optional<resample::RowResizer> resizer_;
  size_t stride_ = 0;
  std::vector<uint8_t> band_;
};

// Two threads: bands decoded on a worker thread wait in a pool of a few bands until the
// calling thread has resized them.
class BandPipe : public codec::RowSink {
 public:
  struct Cancelled {};  // thrown on the decoder thread when the reader has gone

  // Decoder side.
  bool start(Mode mode, int width, int height, int orientation) override {
    std::lock_guard lock(mutex_);
    if (!streamable(mode, orientation)) return false;
    decoded_ = Decoded{mode, width, height};
    stride_ = static_cast<size_t>(width) * mode_bands(mode);
    // Up to a few megabytes of rows, so the decoder can go on while the reader allocates the
    // output image (faulting in its pages takes a while) or catches up; bands are allocated
    // only when the decoder finds none free.
    slots_.resize(std::clamp<size_t>(kPoolBytes / (stride_ * kBandRows), 4, 64));
    changed_.notify_all();
    return true;
  }
  uint8_t* band(int, int& rows, size_t& stride) override {
    std::unique_lock lock(mutex_);
    if (free_.empty() && allocated_ < slots_.size()) {
      slots_[allocated_] = std::make_unique_for_overwrite<uint8_t[]>(stride_ * kBandRows);
      free_.push_back(allocated_++);
    }
    changed_.wait(lock, [&] { return cancelled_ || !free_.empty(); });
    if (cancelled_) throw Cancelled{};
    writing_ = free_.front();
    free_.pop_front();
    rows = std::min(rows, kBandRows);
    stride = stride_;
    return slots_[writing_].get();
  }
  void commit(int rows) override {
    std::lock_guard lock(mutex_);
    full_.push_back({writing_, rows});
    changed_.notify_all();
  }
  // The decoder has finished, declined or failed (`error` set).
  void close(std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    closed_ = true;
    error_ = std::move(error);
    changed_.notify_all();
  }

  // Reader side. The decoded size once the decoder has started, or nothing when it declined
  // or failed before its first row.
  std::optional<Decoded> wait_start() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return decoded_ || closed_; });
    return decoded_;
  }
  // Hands each decoded band to `fn` (rows, stride, count) in order until the decoder is done;
  // rethrows its failure.
  template <class Fn>
  void drain(Fn&& fn) {
    for (;;) {
      std::pair<size_t, int> band;
      const uint8_t* rows = nullptr;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return closed_ || !full_.empty(); });
        if (full_.empty()) {
          if (error_) std::rethrow_exception(error_);
          return;
        }
        band = full_.front();
        full_.pop_front();
        rows = slots_[band.first].get();
      }
      // The band is ours until it goes back to the free list.
      fn(rows, stride_, band.second);
      std::lock_guard lock(mutex_);
      free_.push_back(band.first);
      changed_.notify_all();
    }
  }
  void cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    changed_.notify_all();
  }

 private:
  static constexpr size_t kPoolBytes = size_t{8} << 20;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Decoded> decoded_;
  size_t stride_ = 0;
  std::vector<std::unique_ptr<uint8_t[]>> slots_;  // bands, allocated as needed
  size_t allocated_ = 0;
  std::deque<size_t> free_;
  std::deque<std::pair<size_t, int>> full_;  // band, rows
  size_t writing_ = 0;
  bool closed_ = false, cancelled_ = false;
  std::exception_ptr error_;
};

std::optional<Image> stream_on_one_thread(const Image& im, const EncodedSource& src, int width,
                                          int height, ReduceHint hint) {
  ResizeSink sink(im, width, height);
  if (!src.format->stream(src.input(), src.name, hint, sink)) return std::nullopt;
  return sink.result();
}

std::optional<Image> stream_on_two_threads(const Image& im, const EncodedSource& src, int width,
                                           int height, ReduceHint hint) {
  BandPipe pipe;
  std::thread decoder;
  try {
    decoder = std::thread([&] {
      t_starter_waits = true;
      try {
        src.format->stream(src.input(), src.name, hint, pipe);
        pipe.close(nullptr);
      } catch (const BandPipe::Cancelled&) {
        pipe.close(nullptr);
      } catch (...) {
        pipe.close(std::current_exception());
      }
    });
  } catch (const std::system_error&) {
    return stream_on_one_thread(im, src, width, height, hint);
  }
  // The decoder thread reads `pipe` and `src`: it is joined before either goes, also when
  // resizing fails.
  struct Join {
    BandPipe& pipe;
    std::thread& thread;
    ~Join() {
      pipe.cancel();
      thread.join();
    }
  } join{pipe, decoder};

  std::optional<Decoded> d = pipe.wait_start();
  if (!d) {
    pipe.drain(
        [](const uint8_t*, size_t, int) {});  // rethrows the decoder's failure, if that was it
    return std::nullopt;
  }
  // Made with the first rows: a progressive decoder reads its whole file before those, and
  // that is when it holds the most memory.
  std::optional<resample::RowResizer> resizer;
  pipe.drain([&](const uint8_t* rows, size_t stride, int n) {
    if (!resizer) resizer.emplace(d->width, d->height, d->mode, width, height);
    resizer->push_rows(rows, stride, n);
  });
  if (!resizer) resizer.emplace(d->width, d->height, d->mode, width, height);  // no rows came
  return finished(im, std::move(*resizer).take());
}

}  // namespace

Image decode_resized(const Image& im, int width, int height, ReduceHint hint) {
  if (width < 1 || height < 1) throw ValueError("height and width must be > 0");
  const auto& src = im.source();
  if (src && src->format->stream && (width != im.width() || height != im.height())) {
    // A second thread pays from about a megapixel on.
    SpareCpu spare;
    if (int64_t{im.width()} * im.height() >= (1 << 20))
      spare = SpareCpu::take(SpareUse::beside_resize);
    std::optional<Image> out = spare ? stream_on_two_threads(im, *src, width, height, hint)
                                     : stream_on_one_thread(im, *src, width, height, hint);
    if (out) return std::move(*out);
  }
  // Not row by row: the whole image first, as load() would decode it.
  if (src) {
    Image whole = im;
    whole.load(hint);
    return resize(std::move(whole), width, height);
  }
  return resize(im, width, height);
}

std::shared_ptr<const std::string> undecoded_bytes(const Image& im) {
  return im.source() ? im.source()->bytes : nullptr;  // null too for a file read as it goes
}

}  // namespace img_util::imaging
