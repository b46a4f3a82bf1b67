// The JPEG reader's handling of progressive files: the coefficient store that holds their
// coefficients in mappings of our own; the reading that two decoders share (the scans found
// and shared out by jpeg_scans, the decoders kept in step by ScanSync), with its switch; and
// the reading in which libjpeg takes the first scan and our own reader the others.
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <system_error>
#include <thread>

#include "imaging/codecs/jpeg_reader.hpp"
#include "support/cpus.hpp"

namespace img_util::imaging::codec {
namespace jpeg_detail {

// ---- a progressive file's coefficients --------------------------------------------------------

struct CoefStore::Array {
  JDIMENSION blocks_per_row = 0, rows = 0;
  size_t row_bytes = 0, bytes = 0;
  void* memory = nullptr;
  std::vector<JBLOCKROW> row_ptrs;
  JDIMENSION released_rows = 0;  // rows below this were given back
  size_t released_bytes = 0;     // and these pages

  ~Array() {
    if (memory) munmap(memory, bytes);
  }
  // Gives back whole pages below `row`, which no later access reaches: a huge page's worth at a
  // time, so as not to break up huge pages one small page at a time.
  void release_below(JDIMENSION row) {
    if (row <= released_rows) return;
    released_rows = row;
    constexpr size_t page = size_t{2} << 20;
    const size_t end = size_t{row} * row_bytes / page * page;
    if (end <= released_bytes) return;
    madvise(static_cast<char*>(memory) + released_bytes, end - released_bytes, MADV_DONTNEED);
    released_bytes = end;
  }
};

CoefStore::CoefStore() = default;
CoefStore::~CoefStore() = default;

void CoefStore::attach(jpeg_decompress_struct& c) {
  clients_.push_back(Client{this, 0});
  c.client_data = &clients_.back();
  c.mem->request_virt_barray = on_request;
  c.mem->access_virt_barray = on_access;
}

// The k-th array, made on the first request for it; nothing when it cannot be made or a second
// decoder asks for other dimensions.
CoefStore::Array* CoefStore::array(size_t k, JDIMENSION blocks_per_row, JDIMENSION rows) {
  std::lock_guard lock(mutex_);
  if (k < arrays_.size()) {
    Array* a = arrays_[k].get();
    return a->blocks_per_row == blocks_per_row && a->rows == rows ? a : nullptr;
  }
  if (k != arrays_.size()) return nullptr;
  auto a = std::make_unique<Array>();
  a->blocks_per_row = blocks_per_row;
  a->rows = rows;
  a->row_bytes = size_t{blocks_per_row} * sizeof(JBLOCK);
  a->bytes = std::max<size_t>(a->row_bytes * rows, 1);
  // Fresh anonymous pages read as zeros, which is what libjpeg asks of these arrays.
  void* p = mmap(nullptr, a->bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  // Huge pages where the system offers them on request: the first scan touches every page, and
  // 18 MP take some 17,000 faults of 4 KiB pages (about 30 ms) against a few dozen.
  madvise(p, a->bytes, MADV_HUGEPAGE);
  a->memory = p;
  a->row_ptrs.resize(rows);
  for (JDIMENSION r = 0; r < rows; ++r)
    a->row_ptrs[r] = reinterpret_cast<JBLOCKROW>(static_cast<char*>(p) + a->row_bytes * r);
  arrays_.push_back(std::move(a));
  return arrays_.back().get();
}

std::optional<CoefStore::Blocks> CoefStore::blocks(size_t k) {
  std::lock_guard lock(mutex_);
  if (k >= arrays_.size()) return std::nullopt;
  const Array& a = *arrays_[k];
  return Blocks{a.row_ptrs.data(), a.blocks_per_row, a.rows};
}

jvirt_barray_ptr CoefStore::on_request(j_common_ptr c, int, boolean, JDIMENSION blocks_per_row,
                                       JDIMENSION rows, JDIMENSION) {
  auto* client = static_cast<Client*>(c->client_data);
  Array* a = client->store->array(client->next++, blocks_per_row, rows);
  if (!a) fail_with(c, JERR_OUT_OF_MEMORY);
  return reinterpret_cast<jvirt_barray_ptr>(a);
}

// Input passes write rows; the output pass reads them once, top to bottom (looking back at most
// the rows of the previous access), so a read gives back what lies above its window.
JBLOCKARRAY CoefStore::on_access(j_common_ptr c, jvirt_barray_ptr ptr, JDIMENSION start,
                                 JDIMENSION count, boolean writable) {
  auto* a = reinterpret_cast<Array*>(ptr);
  if (start < a->released_rows || start > a->rows || count > a->rows - start)
    fail_with(c, JERR_BAD_VIRTUAL_ACCESS);
  if (!writable) a->release_below(start - std::min(start, count));
  return a->row_ptrs.data() + start;
}

// ---- two decoders sharing a progressive file's scans ------------------------------------------

namespace {

// Holds each decoder back at the start of a scan until the other decoder has read the scans it
// refines. libjpeg's progress monitor is called before every step of reading input, so it is
// where a decoder notices that it has reached its next scan.
class ScanSync {
 public:
  explicit ScanSync(const jpeg_scans::Plan& plan) : plan_(plan), done_(plan.decoder.size()) {
    for (size_t s = 0; s < plan.decoder.size(); ++s)
      mine_[static_cast<size_t>(plan.decoder[s])].push_back(s);
  }
  ScanSync(const ScanSync&) = delete;
  ScanSync& operator=(const ScanSync&) = delete;

  void attach(jpeg_decompress_struct& c, int decoder) {
    Monitor& m = monitors_[static_cast<size_t>(decoder)];
    m.pub = {};
    m.pub.progress_monitor = on_progress;
    m.sync = this;
    m.decoder = decoder;
    c.progress = &m.pub;
  }

  // Decoder `d` has read all its input, or failed: then nobody waits any more.
  void finished(int d, bool ok) {
    std::lock_guard lock(mutex_);
    if (!ok) abandoned_ = true;
    for (size_t s : mine_[static_cast<size_t>(d)]) done_[s] = true;
    changed_.notify_all();
  }

 private:
  struct Monitor {
    jpeg_progress_mgr pub;
    ScanSync* sync;
    int decoder;
    int seen = 0;  // the scan number it last saw
  };

  // Decoder `d` is at its `number`-th scan (counting from 1), so its earlier ones are read.
  // Returns once what that scan refines is in; false once reading was abandoned.
  bool reached(int d, int number) {
    const auto& mine = mine_[static_cast<size_t>(d)];
    const size_t current = static_cast<size_t>(number - 1);
    if (current >= mine.size()) return false;
    std::unique_lock lock(mutex_);
    for (size_t k = 0; k < current; ++k) done_[mine[k]] = true;
    changed_.notify_all();
    const auto& waits = plan_.waits[mine[current]];
    changed_.wait(lock, [&] {
      return abandoned_ ||
             std::all_of(waits.begin(), waits.end(), [&](size_t s) { return bool(done_[s]); });
    });
    return !abandoned_;
  }

  static void on_progress(j_common_ptr c) {
    auto* m = reinterpret_cast<Monitor*>(c->progress);
    const int number = reinterpret_cast<j_decompress_ptr>(c)->input_scan_number;
    if (number == m->seen) return;
    m->seen = number;
    if (!m->sync->reached(m->decoder, number)) fail_with(c, JERR_VIRTUAL_BUG);
  }

  const jpeg_scans::Plan& plan_;
  std::array<std::vector<size_t>, 2> mine_;
  std::array<Monitor, 2> monitors_{};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<char> done_;
  bool abandoned_ = false;
};

// Below this a progressive file is read in a few milliseconds, and one decoder does it.
constexpr size_t kSharedReadBytes = size_t{512} << 10;

// The setting of set_jpeg_shared_read, read by every decode.
enum class Sharing { automatic, never, always };
std::atomic<Sharing> g_sharing{Sharing::automatic};

// The CPU of the second decoder, when a file of `bytes` is worth sharing out as the setting has
// it (forced on, it runs beside whatever else runs: tests compare the two ways of reading).
std::optional<SpareCpu> second_decoder_cpu(uint64_t bytes) {
  switch (g_sharing.load(std::memory_order_relaxed)) {
    case Sharing::never: return std::nullopt;
    case Sharing::always: return SpareCpu{};
    case Sharing::automatic: break;
  }
  if (bytes < kSharedReadBytes || spare_use_off(SpareUse::second_decoder)) return std::nullopt;
  SpareCpu cpu = SpareCpu::take(SpareUse::second_decoder);
  if (!cpu && !(t_starter_waits && usable_cpus() > 1)) return std::nullopt;
  return cpu;
}

}  // namespace

bool read_shared(Reader& a, CoefStore& store, const SharedRead& shared, const ByteSource& data) {
  Reader b;
  init_errors(b.err);
  use_spans(b.src, data, jpeg_scans::stream(shared.layout, shared.plan, 1));
  if (!guarded(b.err, step_read_header, &b)) return false;
  b.cinfo.scale_num = 1;  // it makes no output; the smallest scale keeps its buffers small
  b.cinfo.scale_denom = 8;
  ScanSync sync(shared.plan);
  store.attach(a.cinfo);
  store.attach(b.cinfo);
  sync.attach(a.cinfo, 0);
  sync.attach(b.cinfo, 1);
  // `a` would smooth blocks whose coefficients it read no scans for; the whole file needs none.
  a.cinfo.do_block_smoothing = FALSE;
  bool b_ok = false;
  std::thread other;
  try {
    other = std::thread([&] {
      b_ok = guarded(b.err, step_start, &b);
      sync.finished(1, b_ok);
    });
  } catch (const std::system_error&) {
    return false;
  }
  const bool a_ok = guarded(a.err, step_start, &a);
  sync.finished(0, a_ok);
  other.join();
  a.cinfo.progress = nullptr;  // `sync` goes now
  return a_ok && b_ok && !a.err.damaged && !b.err.damaged;
}

// ---- our own reader for the scans after the first --------------------------------------------

namespace {

std::atomic<bool> g_own_reader{true};

// Whether our reader may take the scans after the first: libjpeg takes each component's
// quantisation table at its first scan, so it must read one of every component; and our reader
// keeps track of the AC coefficients, so it reads them all.
bool own_reader_takes(const jpeg_scans::Layout& layout) {
  if (layout.scans.size() < 2) return false;
  const jpeg_scans::Scan& first = layout.scans[0];
  return first.components.size() == layout.components && first.ss == 0;
}

}  // namespace

std::vector<jpeg_scans::Span> own_read_stream(const jpeg_scans::Layout& layout) {
  jpeg_scans::Plan first_only;
  first_only.decoder.assign(layout.scans.size(), 1);
  first_only.decoder[0] = 0;
  return jpeg_scans::stream(layout, first_only, 0);
}

std::optional<jpeg_entropy::Frame> entropy_frame(const jpeg_decompress_struct& c,
                                                 CoefStore& store) {
  jpeg_entropy::Frame frame;
  frame.width = c.image_width;
  frame.height = c.image_height;
  frame.max_h = c.max_h_samp_factor;
  frame.max_v = c.max_v_samp_factor;
  for (int k = 0; k < c.num_components; ++k) {
    const jpeg_component_info& info = c.comp_info[k];
    const std::optional<CoefStore::Blocks> blocks = store.blocks(static_cast<size_t>(k));
    if (!blocks) return std::nullopt;
    frame.components.push_back({info.component_id, info.h_samp_factor, info.v_samp_factor,
                                info.width_in_blocks, info.height_in_blocks, blocks->blocks_per_row,
                                blocks->rows, blocks->row});
  }
  return frame;
}

bool read_own(Reader& a, CoefStore& store, const OwnRead& own, const ByteSource& data) {
  const jpeg_scans::Layout& layout = own.layout;
  jpeg_decompress_struct& c = a.cinfo;
  if (static_cast<size_t>(c.num_components) != layout.components) return false;
  store.attach(c);
  // `a` would smooth blocks whose coefficients it read no scans for; the whole file needs none.
  c.do_block_smoothing = FALSE;
  if (!guarded(a.err, step_start, &a) || a.err.damaged) return false;
  const std::optional<jpeg_entropy::Frame> frame = entropy_frame(c, store);
  return frame && jpeg_entropy::read_scans(data, layout, 1, *frame, own.second_thread.has_value());
}

// ---- which way a progressive file is read -----------------------------------------------------

ProgressiveRead plan_progressive_read(const ByteSource& data) {
  ProgressiveRead p;
  const bool own = g_own_reader.load(std::memory_order_relaxed);
  std::optional<SpareCpu> cpu = second_decoder_cpu(data.size());
  if (!own && !cpu) return p;
  std::optional<jpeg_scans::Layout> layout = jpeg_scans::parse(data);
  if (!layout) return p;
  if (own && own_reader_takes(*layout)) {
    p.own = OwnRead{std::move(*layout), std::move(cpu)};
    return p;
  }
  if (!cpu) return p;
  jpeg_scans::Plan plan = jpeg_scans::plan(*layout);
  if (std::find(plan.decoder.begin(), plan.decoder.end(), 1) != plan.decoder.end())
    p.shared = SharedRead{std::move(*layout), std::move(plan), std::move(*cpu)};
  return p;
}

}  // namespace jpeg_detail

void set_jpeg_scan_reader(bool enabled) { jpeg_detail::g_own_reader.store(enabled); }

void set_jpeg_shared_read(std::optional<bool> enabled) {
  using jpeg_detail::Sharing;
  jpeg_detail::g_sharing.store(!enabled   ? Sharing::automatic
                               : *enabled ? Sharing::always
                                          : Sharing::never);
}

}  // namespace img_util::imaging::codec
