// The calibration loader: any file, standard, custom or UHF, read by any of the four models.
//
// Input: three bytes of settings, then the file.
//   byte 0  bits 0-1  model (low-range, standard, UHF, high-power): UhfModel, PowerModel and
//                     MaxFreqMHz as the identification leaves them
//           bits 2-3  the unit's identification texts
//           bit 4     the interactive engine's load (InExportCall 0: its notices are shown)
//           bit 5     the calibration in use is a custom one (else standard)
//           bit 6     no calibration in use
//           bit 7     a maximum frequency 1.5 MHz above the model's (the point counts round both
//                     ways)
//   byte 1            the scan window a custom file normalises
//   byte 2            the frequency of the corrected point taken after the load
//
// Before every load a good calibration of the chosen kind is in use. After the load:
//   - a load that failed, or took no tables, left every table entry as it was, and when the
//     calibration stays in use, also its point count and grid;
//   - a refused load (any status but 0) left every other value of the calibration and every value
//     of the synthesizer and the scan window as they were, bit for bit, but CalLoaded, which only
//     the checks that end the calibration in use may clear;
//   - no load wrote a table entry beyond the count it reports (one entry beyond it is the last
//     record of a standard file whose maximum frequency ends in .5, which rounds both ways);
//   - a corrected point on the calibration in use stays inside the tables (ASan checks the reads).
//
// ZEL_FUZZ_CAL_SEEDS=DIR fuzz_cal -runs=0 writes the seed corpus (files made by the writer).
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cal/cal_loader.h"
#include "cal/cal_writer.h"
#include "fuzz_support.h"
#include "measure/correction.h"
#include "state/text.h"
#include "synth/mult_table.h"

namespace {

constexpr std::size_t kSettingBytes = 3;

struct ModelCase {
  double max_mhz;
  bool uhf;
  bool power;
};
constexpr ModelCase kModels[] = {
    {32, false, false}, {180, false, false}, {1000, true, false}, {170, false, true}};

// Unit identification texts as the identification leaves them: the defaults, a serial number,
// a flash date code, and a failed exchange (the first emptied, the second kept).
struct UnitIds {
  const char* id;
  const char* alt;
};
constexpr UnitIds kUnitIds[] = {
    {"123456", "123456"}, {" 654321", " 654321"}, {"120315093045", "120315093045"}, {"", "123456"}};

struct Window {
  double start, end, step;
};
const Window kWindows[] = {{5, 25, 0.202},        {0, 0, 0},        {-3, 1e9, -0.5},
                           {100, 1, 1e-9},        {NAN, 10, 1},     {1, INFINITY, 0.1},
                           {0.001, 0.0011, 1e-6}, {-0.0, -5, 1e300}};
constexpr int kWindowCount = sizeof kWindows / sizeof kWindows[0];

constexpr int kCustomPoints = 40;
constexpr double kCustomStartMHz = 1;
constexpr double kCustomStepMHz = 0.5;
// Entries compared behind the good calibration and around the reported count.
constexpr int kGuardEntries = 64;

int MemFile() {
  static const int fd = memfd_create("fuzz_cal", 0);
  if (fd < 0) std::abort();
  return fd;
}

std::string MemPath() {
  return "/proc/self/fd/" + std::to_string(MemFile());
}

void PutFile(const std::uint8_t* data, std::size_t size) {
  const int fd = MemFile();
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) std::abort();
  if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
}

// The identified state of one model, before any calibration.
void Identified(const ModelCase& m, const UnitIds& ids, bool odd_max) {
  zelfuzz::ResetStateButTables();
  zel::InitDefaults();
  auto& st = zel::state;
  st.ident.UhfModel = m.uhf;
  st.ident.PowerModel = m.power;
  st.ident.StandardModel = !m.uhf && !m.power && m.max_mhz > 100;
  st.ident.LowRangeModel = m.max_mhz < 100;
  // The high-power model's custom loads put its maximum back to 170 MHz.
  st.synth.MaxFreqMHz = m.max_mhz + (odd_max && !m.power ? 1.5 : 0);
  st.ident.NominalMaxFreqMHz = m.max_mhz;
  st.ident.Rgen = 50.2;
  st.ident.Rref = 100.9;
  if (m.uhf) {
    st.synth.XtalOsc = 50;
    st.measure.StepGridMHz = 12.5;
    zel::BuildMultTable();
  }
  zel::SetText(st.ident.UnitIdText, ids.id);
  zel::SetText(st.ident.UnitIdAltText, ids.alt);
}

// A calibration file as the writer makes it, for the state as it stands.
std::string WriterFile(bool custom, const char* unit_id) {
  const auto& st = zel::state;
  ZEL_CalSpec desc{};
  desc.rcal_ohms = 50;
  desc.max_freq_mhz = st.synth.MaxFreqMHz;
  desc.temperature_f = 72.5;
  desc.custom = custom;
  const int points = custom ? kCustomPoints : zel::RoundToInt(st.synth.MaxFreqMHz) + 3;
  desc.points = points;
  desc.start_mhz = kCustomStartMHz;
  desc.step_mhz = kCustomStepMHz;
  desc.end_mhz = kCustomStartMHz + (points - 3) * kCustomStepMHz;
  desc.unit_id = unit_id;
  desc.comment = "fuzz seed";
  desc.date_time = "03-15-2012  09:30:45";
  desc.uhf = st.ident.UhfModel;
  desc.segment_count = zel::kSegCount;
  desc.seg_start_mhz = st.synth.SegStartMHz;
  desc.seg_mults = st.synth.SegMults;
  desc.band_edge1_mhz = st.synth.BandEdge1MHz;
  desc.band_edge2_mhz = st.synth.BandEdge2MHz;
  desc.dds1_level = st.synth.Dds1Level;
  std::vector<double> sr(points), si(points), orr(points), oi(points), lr(points), li(points);
  for (int i = 0; i < points; ++i) {
    sr[i] = 50.5 + 0.01 * i;
    si[i] = -1 + 0.02 * i;
    orr[i] = 5000 - 3 * i;
    oi[i] = -3000 + 2 * i;
    lr[i] = 100 + 0.1 * i;
    li[i] = 2 - 0.01 * i;
  }
  // The writer renames its temporary file over the path, so it gets a real file.
  char tmpl[] = "/tmp/fuzz_cal_XXXXXX";
  const int fd = mkstemp(tmpl);
  if (fd < 0) std::abort();
  close(fd);
  const std::int32_t rc = zel::WriteCalFile(
      tmpl, desc, {sr.data(), si.data(), orr.data(), oi.data(), lr.data(), li.data()}, 0);
  std::string text;
  if (rc == 0) {
    std::FILE* f = std::fopen(tmpl, "rb");
    char buf[65536];
    for (std::size_t got; f && (got = std::fread(buf, 1, sizeof buf, f)) > 0;)
      text.append(buf, got);
    if (f) std::fclose(f);
  }
  std::remove(tmpl);
  if (rc != 0 || text.empty()) {
    std::fprintf(stderr, "fuzz_cal: the writer refused a seed (%d)\n", rc);
    std::abort();
  }
  return text;
}

// One good calibration in use, per setting: the whole state as it stands after loading it.
struct Good {
  std::unique_ptr<zel::State> state;
  int extent;  // table entries that may be nonzero
};
std::unique_ptr<Good> goods[4][4][2][2][2];

zel::platform::Platform* QuietPlatform() {
  static zelfuzz::StreamPlatform quiet(nullptr, 0);
  return &quiet;
}

void LoadPath(const std::string& path, bool interactive) {
  auto& st = zel::state;
  zel::SetText(st.cal.CalFilePath, path);
  st.frame.InExportCall = interactive ? 0 : 1;
  st.frame.LibraryMode = 1;
  zel::ReadCalFile();
  st.frame.InExportCall = 0;
}

const Good& GoodFor(int model, int ids, bool odd_max, bool custom, bool none) {
  auto& slot = goods[model][ids][odd_max][custom][none];
  if (slot) return *slot;
  auto& st = zel::state;
  // Tables of zeros, then the good file loaded through the loader itself.
  for (auto table : zelfuzz::kCalTables) std::memset(st.cal.*table, 0, sizeof(st.cal.*table));
  Identified(kModels[model], kUnitIds[ids], odd_max);
  int extent = 0;
  if (!none) {
    const std::string text = WriterFile(custom, kUnitIds[ids].id);
    PutFile(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    LoadPath(MemPath(), false);
    if (st.cal.CalLoaded != 1 || st.frame.StatusCode != 0) {
      std::fprintf(stderr, "fuzz_cal: the good calibration did not load (%d)\n",
                   st.frame.StatusCode);
      std::abort();
    }
    extent = st.cal.NumCalPoints + 1;
  }
  st.frame.StatusCode = 0;
  slot = std::make_unique<Good>(Good{std::make_unique<zel::State>(st), extent});
  return *slot;
}

// Table entries from index 0 that may differ from the zeros of load time.
int dirty = zel::kCalTableSize;

void Restore(const Good& g) {
  auto& st = zel::state;
  const auto& s = *g.state;
  st.frame = s.frame;
  st.link = s.link;
  // Bytewise, padding and all, so that the comparison after a refused load sees what it wrote.
  std::memcpy(&st.synth, &s.synth, sizeof st.synth);
  st.measure = s.measure;
  st.ident = s.ident;
  zelfuzz::CopyCalButTables(st.cal, s.cal);
  const int n = std::max(dirty, g.extent);
  auto copy = [&](double* dst, const double* src) {
    std::memcpy(dst, src, sizeof(double) * static_cast<std::size_t>(n));
  };
  copy(st.cal.CalShortRe, s.cal.CalShortRe);
  copy(st.cal.CalShortIm, s.cal.CalShortIm);
  copy(st.cal.CalOpenRe, s.cal.CalOpenRe);
  copy(st.cal.CalOpenIm, s.cal.CalOpenIm);
  copy(st.cal.CalLoadRe, s.cal.CalLoadRe);
  copy(st.cal.CalLoadIm, s.cal.CalLoadIm);
  dirty = g.extent;
}

// True when entries [from, to) of every table are those of the good state.
bool SameEntries(const Good& g, int from, int to) {
  from = std::max(from, 0);
  to = std::min(to, zel::kCalTableSize);
  if (from >= to) return true;
  const auto& a = zel::state.cal;
  const auto& b = g.state->cal;
  const std::size_t bytes = sizeof(double) * static_cast<std::size_t>(to - from);
  return std::memcmp(a.CalShortRe + from, b.CalShortRe + from, bytes) == 0 &&
         std::memcmp(a.CalShortIm + from, b.CalShortIm + from, bytes) == 0 &&
         std::memcmp(a.CalOpenRe + from, b.CalOpenRe + from, bytes) == 0 &&
         std::memcmp(a.CalOpenIm + from, b.CalOpenIm + from, bytes) == 0 &&
         std::memcmp(a.CalLoadRe + from, b.CalLoadRe + from, bytes) == 0 &&
         std::memcmp(a.CalLoadIm + from, b.CalLoadIm + from, bytes) == 0;
}

void Fault(const char* what) {
  std::fprintf(stderr, "fuzz_cal: %s (status %d, CalLoaded %d, NumCalPoints %d)\n", what,
               zel::state.frame.StatusCode, zel::state.cal.CalLoaded, zel::state.cal.NumCalPoints);
  std::abort();
}

void WriteSeeds(const char* dir) {
  int count = 0;
  auto put = [&](std::uint8_t b0, std::uint8_t b1, const std::string& text) {
    std::string seed;
    seed += static_cast<char>(b0);
    seed += static_cast<char>(b1);
    seed += static_cast<char>(0x60);
    seed += text;
    const std::string path = std::string(dir) + "/seed_" + std::to_string(count++);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(seed.data(), 1, seed.size(), f);
    std::fclose(f);
  };
  for (int model = 0; model < 4; ++model) {
    for (int custom = 0; custom < 2; ++custom) {
      // The large standard grids of the UHF and standard models stay out of the seeds: the
      // mutations of a short file reach the same code.
      Identified(kModels[model], kUnitIds[0], false);
      if (!custom && kModels[model].max_mhz > 100) continue;
      const std::string text = WriterFile(custom != 0, kUnitIds[0].id);
      put(static_cast<std::uint8_t>(model | (custom ? 0x20 : 0)), 0, text);
    }
  }
  // A file for another unit, one any unit accepts, and a custom file that moves the scan window.
  Identified(kModels[0], kUnitIds[1], false);
  put(0x04, 0, WriterFile(false, " 654321"));
  put(0x00, 0, WriterFile(false, ""));
  put(0x10 | 0x20, 3, WriterFile(true, kUnitIds[1].id));
  std::fprintf(stderr, "fuzz_cal: %d seeds in %s\n", count, dir);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zel::platform::Install(QuietPlatform());
  if (const char* dir = std::getenv("ZEL_FUZZ_CAL_SEEDS")) WriteSeeds(dir);
  zel::platform::Install(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kSettingBytes) return 0;
  const int model = data[0] & 3;
  const int ids = (data[0] >> 2) & 3;
  const bool interactive = data[0] & 0x10;
  const bool custom = data[0] & 0x20;
  const bool none = data[0] & 0x40;
  const bool odd_max = data[0] & 0x80;
  zelfuzz::StreamPlatform platform(nullptr, 0);
  zelfuzz::Installed installed(&platform);

  const Good& good = GoodFor(model, ids, odd_max, custom, none);
  Restore(good);
  auto& st = zel::state;
  const Window& w = kWindows[data[1] % kWindowCount];
  st.measure.ScanStartMHz = w.start;
  st.measure.ScanEndMHz = w.end;
  st.measure.ScanStepMHz = w.step;

  PutFile(data + kSettingBytes, size - kSettingBytes);
  // Everything a refused load must leave alone, as it stands before the load (the path is the
  // one the load sets).
  zel::SetText(st.cal.CalFilePath, MemPath());
  const std::string cal_before = zelfuzz::CalBytesButTables(st.cal);
  zel::SynthState synth_before;
  std::memcpy(&synth_before, &st.synth, sizeof synth_before);
  const zel::MeasureState measure_before = st.measure;
  LoadPath(MemPath(), interactive);

  const auto& c = st.cal;
  const auto& before = good.state->cal;
  if (c.NumCalPoints > zel::kCalTableSize && c.CalLoaded) Fault("a count beyond the tables");
  const bool took_tables = c.CalLoaded == 1 && st.frame.StatusCode == 0;
  if (!took_tables) {
    // Nothing of the file may have reached the tables.
    if (!SameEntries(good, 0, good.extent + kGuardEntries) ||
        !SameEntries(good, c.NumCalPoints - kGuardEntries, c.NumCalPoints + kGuardEntries)) {
      Fault("a refused file changed the tables");
    }
  }
  if (st.frame.StatusCode != 0) {
    // A refused file: only the status and (for the checks that end the calibration in use)
    // CalLoaded changed.
    const std::int32_t code = st.frame.StatusCode;
    const bool keeps_loaded = code == ZEL_ERR_CAL_FORMAT || code == ZEL_ERR_CAL_SEGMENTS ||
                              code == ZEL_ERR_CAL_TOO_LARGE || code == ZEL_ERR_CAL_DAMAGED;
    if (c.CalLoaded != before.CalLoaded && (keeps_loaded || c.CalLoaded != 0)) {
      Fault("a refused file changed CalLoaded against its check");
    }
    const std::int32_t loaded = st.cal.CalLoaded;
    st.cal.CalLoaded = before.CalLoaded;
    const bool same_cal = zelfuzz::CalBytesButTables(st.cal) == cal_before;
    st.cal.CalLoaded = loaded;
    if (!same_cal) Fault("a refused file changed a value of the calibration");
    if (std::memcmp(&st.synth, &synth_before, sizeof synth_before) != 0) {
      Fault("a refused file changed the synthesizer");
    }
    const auto& m = measure_before;
    if (std::memcmp(&st.measure.ScanStartMHz, &m.ScanStartMHz, sizeof(double)) != 0 ||
        std::memcmp(&st.measure.ScanEndMHz, &m.ScanEndMHz, sizeof(double)) != 0 ||
        std::memcmp(&st.measure.ScanStepMHz, &m.ScanStepMHz, sizeof(double)) != 0) {
      Fault("a refused file changed the scan window");
    }
  }
  if (!took_tables && c.CalLoaded == 1 &&
      (c.NumCalPoints != before.NumCalPoints || c.CustomCal != before.CustomCal ||
       std::memcmp(&c.CustStartMHz, &before.CustStartMHz, sizeof(double)) != 0 ||
       std::memcmp(&c.CustStepMHz, &before.CustStepMHz, sizeof(double)) != 0)) {
    Fault("the calibration in use lost its grid");
  }
  if (c.CalLoaded == 1) {
    const int beyond = std::max(c.NumCalPoints + 1, good.extent);
    if (!SameEntries(good, beyond, beyond + kGuardEntries) ||
        !SameEntries(good, zel::kCalTableSize - 1, zel::kCalTableSize)) {
      Fault("an entry beyond the reported count was written");
    }
    // A corrected point on whatever is in use now.
    st.synth.TestFreqMHz = (static_cast<int>(data[2]) - 16) * st.synth.MaxFreqMHz / 224.0;
    st.measure.Rs = 47.5;
    st.measure.Xs = -3.25;
    st.measure.MagLoad = 2000;
    zel::ApplyCor();
  }
  if (took_tables) dirty = std::min(std::max(c.NumCalPoints + 2, good.extent), zel::kCalTableSize);
  return 0;
}
