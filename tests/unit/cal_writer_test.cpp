// The calibration writer: the file's exact form, round trips through the loader for standard,
// custom and UHF files, refusals that leave an existing file alone, and the exported call.
#include "cal/cal_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ZEL_863_DLL.h"
#include "platform/fake/fake_platform.h"
#include "state/defaults.h"
#include "state/state.h"

using zel::state;
using zel::platform::FakePlatform;
using zel::platform::ScriptedPeer;

namespace {

const std::int32_t kSegStarts[6] = {0, 605, 605, 610, 840, 890};
const std::int32_t kSegCodes[6] = {461, 329, 329, 329, 394, 461};

// One calibration run: the description and the six arrays, filled with seeded values.
struct CalRun {
  ZEL_CalSpec desc{};
  std::vector<double> v[6];  // short re, im, open re, im, load re, im

  CalRun() {
    desc.rcal_ohms = 50;
    desc.max_freq_mhz = 30;
    desc.temperature_f = 72.5;
    desc.unit_id = "123456";
    desc.comment = "bench two";
    desc.date_time = "03-15-2012  09:30:45";
    desc.segment_count = 6;
    desc.seg_start_mhz = kSegStarts;
    desc.seg_mults = kSegCodes;
    desc.band_edge1_mhz = 515;
    desc.band_edge2_mhz = 1150;
    desc.dds1_level = 80;
    Fill(33);
  }
  void Fill(int count) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> small(-5, 5);
    for (int i = 0; i < count; ++i) {
      // Short near the source resistance, open large, load near 50 + Rgen.
      const double values[6] = {50 + small(rng),        small(rng),       3000 + 100 * small(rng),
                                -900 + 50 * small(rng), 100 + small(rng), small(rng)};
      for (int a = 0; a < 6; ++a) {
        v[a].resize(static_cast<std::size_t>(count));
        v[a][static_cast<std::size_t>(i)] = values[a];
      }
    }
  }
  zel::CalWriterTables Tables() const {
    return {v[0].data(), v[1].data(), v[2].data(), v[3].data(), v[4].data(), v[5].data()};
  }
};

double FourDecimals(double v) {
  return std::round(v * 1e4) / 1e4;
}

class CalWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    zel::ResetState();
    zel::InitDefaults();
    state.synth.MaxFreqMHz = 30;
    dir_ = std::filesystem::path(::testing::TempDir()) /
           ("cal_writer_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "run.acal").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::int32_t Write(const CalRun& r, double offset = 0) {
    return zel::WriteCalFile(path_.c_str(), r.desc, r.Tables(), offset);
  }
  std::string FileText() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // The loaded tables hold the run's values to four decimals, CalLoad as their load factor.
  void ExpectTablesOf(const CalRun& r, int count, double offset = 0) {
    const auto& c = state.cal;
    for (int i = 0; i < count; ++i) {
      const auto at = [&](int a) {
        return FourDecimals(r.v[a][static_cast<std::size_t>(i)] + (a % 2 == 0 ? offset : 0));
      };
      ASSERT_NEAR(c.CalShortRe[i], at(0), 1e-9) << i;
      ASSERT_NEAR(c.CalShortIm[i], at(1), 1e-9) << i;
      ASSERT_NEAR(c.CalOpenRe[i], at(2), 1e-9) << i;
      ASSERT_NEAR(c.CalOpenIm[i], at(3), 1e-9) << i;
      const std::complex<double> s(at(0), at(1)), o(at(2), at(3)), l(at(4), at(5));
      const std::complex<double> k = r.desc.rcal_ohms * (o - l) / (l - s);
      ASSERT_NEAR(c.CalLoadRe[i], k.real(), 1e-9 * std::abs(k)) << i;
      ASSERT_NEAR(c.CalLoadIm[i], k.imag(), 1e-9 * std::abs(k)) << i;
    }
  }

  std::filesystem::path dir_;
  std::string path_;
  ScriptedPeer peer;
  FakePlatform platform{&peer};
  zel::platform::ScopedPlatform scope{&platform};
};

TEST_F(CalWriter, WritesTheInteractiveWritersForm) {
  CalRun r;
  r.desc.max_freq_mhz = 2;
  r.desc.min5k = 1;
  r.Fill(5);
  r.v[0][0] = 50.2;
  r.v[1][0] = 0.0013;
  r.v[2][0] = -12.34567;
  ASSERT_EQ(Write(r), 0);
  const std::string text = FileText();
  EXPECT_EQ(text.substr(0, text.find(" Short Circuit:")),
            " 50   //  _ID=123456  min5k   || bench two\r\n"
            " 2    temperature=  72.5000\r\n");
  EXPECT_NE(text.find(" Short Circuit:  date=03-15-2012  09:30:45\r\n"
                      "  0      50.2000        0.0013\r\n"
                      "  1  "),
            std::string::npos);
  EXPECT_NE(text.find("\r\n Open Circuit:\r\n  0     -12.3457   "), std::string::npos);
  EXPECT_NE(text.find("\r\n Standard Resistance:\r\n  0  "), std::string::npos);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3 + 3 * 5 + 2);
  EXPECT_FALSE(std::filesystem::exists(path_ + ".part"));
}

TEST_F(CalWriter, StandardFileLoadsBackToTheSameTables) {
  CalRun r;
  r.desc.rcal_ohms = 49.9;
  r.desc.min5k = 1;
  ASSERT_EQ(Write(r), 0);
  state.synth.MinFreqMHz = 0.1;
  ASSERT_EQ(ZEL_LoadCalFile(path_.c_str()), 0);
  EXPECT_EQ(state.cal.CalLoaded, 1);
  EXPECT_EQ(state.cal.NumCalPoints, 33);
  EXPECT_EQ(state.cal.Rcal, 49.9);
  EXPECT_EQ(state.cal.CalTemperature, 72.5);
  EXPECT_EQ(state.synth.MinFreqMHz, 0.002);
  EXPECT_STREQ(state.cal.CalComment, "bench two");
  EXPECT_STREQ(state.cal.CalDate, "03-15-2012  09:30:45");
  ExpectTablesOf(r, 33);
}

TEST_F(CalWriter, CustomFileLoadsBackWithItsGrid) {
  CalRun r;
  r.desc.custom = 1;
  r.desc.points = 50;
  r.desc.start_mhz = 1.5;
  r.desc.step_mhz = 0.0125;
  r.desc.end_mhz = 1.5 + 47 * 0.0125;
  r.Fill(50);
  ASSERT_EQ(Write(r), 0);
  ASSERT_EQ(ZEL_LoadCalFile(path_.c_str()), 0);
  EXPECT_EQ(state.cal.CustomCal, 1);
  EXPECT_EQ(state.cal.NumCalPoints, 50);
  EXPECT_EQ(state.cal.CustStartMHz, 1.5);
  EXPECT_EQ(state.cal.CustStepMHz, 0.0125);
  EXPECT_DOUBLE_EQ(state.cal.CustEndMHz, r.desc.end_mhz);
  ExpectTablesOf(r, 50);
}

TEST_F(CalWriter, UhfFileLoadsBackWithItsSegments) {
  ASSERT_EQ(ZEL_CommPort(1, 1, 57600), 0);
  state.ident.UhfModel = 1;
  CalRun r;
  r.desc.uhf = 1;
  r.desc.unit_id = "";  // accepted by any unit
  ASSERT_EQ(Write(r), 0);
  EXPECT_EQ(FileText().substr(0, 9), " 12529\r\n ");
  ASSERT_EQ(ZEL_LoadCalFile(path_.c_str()), 0);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(state.synth.SegStartMHz[i], kSegStarts[i]) << i;
    EXPECT_EQ(state.synth.SegMults[i], kSegCodes[i]) << i;
  }
  EXPECT_EQ(state.synth.MultsByMHz[100], 461);
  EXPECT_EQ(state.synth.BandEdge1MHz, 515);
  EXPECT_EQ(state.synth.BandEdge2MHz, 1150);
  EXPECT_EQ(state.synth.Dds1Level, 80);
  ExpectTablesOf(r, 33);
}

TEST_F(CalWriter, ValuesBeyondTheColumnsAreWrittenAsTheLargestTheyHold) {
  CalRun r;
  r.v[2][3] = 2e6;
  r.v[3][3] = -std::numeric_limits<double>::infinity();
  r.v[2][4] = 999999.99994;
  ASSERT_EQ(Write(r), 0);
  ASSERT_EQ(ZEL_LoadCalFile(path_.c_str()), 0);
  EXPECT_EQ(state.cal.CalOpenRe[3], 999999.9999);
  EXPECT_EQ(state.cal.CalOpenIm[3], -999999.9999);
  EXPECT_EQ(state.cal.CalOpenRe[4], 999999.9999);
}

TEST_F(CalWriter, RefusesWhatTheLoaderCouldNotTakeAndLeavesTheOldFile) {
  struct Case {
    const char* what;
    std::function<void(CalRun&)> edit;
    std::int32_t status;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Case> cases = {
      {"value not a number", [&](CalRun& r) { r.v[5][7] = nan; }, 34528},
      {"Rcal below 5", [](CalRun& r) { r.desc.rcal_ohms = 4.9; }, 34528},
      {"temperature above 200", [](CalRun& r) { r.desc.temperature_f = 200.5; }, 34528},
      {"standard grid beyond the tables", [](CalRun& r) { r.desc.max_freq_mhz = 30030; }, 34528},
      {"standard grid of no points", [](CalRun& r) { r.desc.max_freq_mhz = 0.5; }, 34528},
      {"custom: 3 points",
       [](CalRun& r) { r.desc.custom = 1, r.desc.points = 3, r.desc.step_mhz = 1; }, 34528},
      {"custom: beyond the tables",
       [](CalRun& r) { r.desc.custom = 1, r.desc.points = 30033, r.desc.step_mhz = 1; }, 34528},
      {"custom: step 0", [](CalRun& r) { r.desc.custom = 1, r.desc.points = 10; }, 34528},
      {"line break in the comment", [](CalRun& r) { r.desc.comment = "a\r\nb"; }, 34528},
      {"\"||\" in the unit id", [](CalRun& r) { r.desc.unit_id = "12||34"; }, 34528},
      {"no unit id and \"ID=\" in the comment",
       [](CalRun& r) { r.desc.unit_id = nullptr, r.desc.comment = "ID=1"; }, 34528},
      {"ID line over 255 characters",
       [](CalRun& r) {
         static const std::string long_comment(240, 'c');
         r.desc.comment = long_comment.c_str();
       },
       34528},
      {"UHF: 3 segments", [](CalRun& r) { r.desc.uhf = 1, r.desc.segment_count = 3; }, 34528},
      {"UHF: code beyond 660",
       [](CalRun& r) {
         static const std::int32_t codes[6] = {461, 661, 329, 329, 394, 461};
         r.desc.uhf = 1, r.desc.seg_mults = codes;
       },
       34528},
      {"UHF: no segment table", [](CalRun& r) { r.desc.uhf = 1, r.desc.seg_start_mhz = nullptr; },
       34528},
  };
  std::ofstream(path_, std::ios::binary) << "the old file";
  for (const auto& c : cases) {
    CalRun r;
    c.edit(r);
    EXPECT_EQ(Write(r), c.status) << c.what;
    EXPECT_EQ(FileText(), "the old file") << c.what;
  }
  CalRun r;
  EXPECT_EQ(zel::WriteCalFile(path_.c_str(), r.desc, {}, 0), 34528) << "no arrays";
  EXPECT_EQ(zel::WriteCalFile(nullptr, r.desc, r.Tables(), 0), 34528) << "no path";
  const std::string long_path = (dir_ / std::string(250, 'p')).string();
  EXPECT_EQ(zel::WriteCalFile(long_path.c_str(), r.desc, r.Tables(), 0), 34521);
  const std::string no_dir = (dir_ / "missing" / "run.acal").string();
  EXPECT_EQ(zel::WriteCalFile(no_dir.c_str(), r.desc, r.Tables(), 0), 34527);
  EXPECT_EQ(FileText(), "the old file");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1) << "no .part left";
}

TEST_F(CalWriter, ExportAddsRgenToModeZeroValuesAndTakesTheCurrentTime) {
  CalRun r;
  r.desc.date_time = nullptr;
  r.desc.from_mode0 = 1;
  const double* a[6] = {r.v[0].data(), r.v[1].data(), r.v[2].data(),
                        r.v[3].data(), r.v[4].data(), r.v[5].data()};
  EXPECT_EQ(ZEL_WriteCalFile(path_.c_str(), &r.desc, a[0], a[1], a[2], a[3], a[4], a[5]), 34528)
      << "no identification yet: Rgen unknown";
  EXPECT_FALSE(std::filesystem::exists(path_));
  state.ident.Rgen = 50.2;
  ASSERT_EQ(ZEL_WriteCalFile(path_.c_str(), &r.desc, a[0], a[1], a[2], a[3], a[4], a[5]), 0);
  EXPECT_EQ(ZEL_WriteCalFile(path_.c_str(), nullptr, a[0], a[1], a[2], a[3], a[4], a[5]), 34528);
  ASSERT_EQ(ZEL_LoadCalFile(path_.c_str()), 0);
  EXPECT_STREQ(state.cal.CalDate, "03-15-2012  09:30:45") << "the platform's clock";
  ExpectTablesOf(r, 33, 50.2);
}

// The file is written under a fresh name in the target's folder, never through a name that
// was there before: a user's "<path>.part" and a symbolic link there stay as they are, a path
// that names a folder is refused, and nothing but the target is left behind.
TEST_F(CalWriter, WritesThroughNoExistingNameAndRefusesAFolder) {
  namespace fs = std::filesystem;
  const fs::path victim = dir_ / "victim.txt";
  const fs::path sub = dir_ / "sub";
  struct Case {
    const char* what;
    std::function<void()> prepare;
    std::string path;
    std::int32_t status;
  };
  const std::vector<Case> cases = {
      {"a user's file named like the old temporary file",
       [&] { std::ofstream(path_ + ".part") << "mine"; }, path_, 0},
      {"a symbolic link named like the old temporary file",
       [&] { fs::create_symlink(victim, path_ + ".part"); }, path_, 0},
      {"an empty folder", [&] { fs::create_directory(sub); }, sub.string(), 34527},
      {"a folder with a file",
       [&] {
         fs::create_directory(sub);
         std::ofstream(sub / "keep") << "keep";
       },
       sub.string(), 34527},
      {"a link to a folder",
       [&] {
         fs::create_directory(sub);
         fs::create_directory_symlink(sub, dir_ / "link");
       },
       (dir_ / "link").string(), 34527},
      {"a path ending in a separator", [&] { fs::create_directory(sub); }, sub.string() + "/",
       34527},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::ofstream(victim) << "victim";
    c.prepare();
    std::vector<fs::path> before;
    for (const auto& e : fs::directory_iterator(dir_)) before.push_back(e.path());
    CalRun r;
    EXPECT_EQ(zel::WriteCalFile(c.path.c_str(), r.desc, r.Tables(), 0), c.status);
    auto first_line = [](const fs::path& p) {
      std::ifstream in(p);
      std::string text;
      std::getline(in, text);
      return text;
    };
    EXPECT_EQ(first_line(victim), "victim");
    if (fs::is_regular_file(fs::symlink_status(path_ + ".part"))) {
      EXPECT_EQ(first_line(path_ + ".part"), "mine");
    }
    std::vector<fs::path> after;
    for (const auto& e : fs::directory_iterator(dir_)) after.push_back(e.path());
    if (c.status == 0) {
      before.push_back(c.path);
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(c.path)));
      ASSERT_EQ(ZEL_LoadCalFile(c.path.c_str()), 0);
    } else {
      EXPECT_TRUE(fs::is_directory(c.path)) << "the folder is still there";
      EXPECT_TRUE(!fs::exists(sub / "keep") || fs::file_size(sub / "keep") == 4);
    }
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(after, before) << "no temporary file left";
  }
}

}  // namespace
