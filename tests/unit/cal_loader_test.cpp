// The calibration loader: file forms, checks and status codes, the tables and the load factor.
#include "cal/cal_loader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "ZEL_863_DLL.h"
#include "cal/cal_parser.h"
#include "cal/scan_limits.h"
#include "platform/fake/fake_platform.h"
#include "state/defaults.h"
#include "state/state.h"

using zel::state;
using zel::platform::FakePlatform;
using zel::platform::ScriptedPeer;

namespace {

// Raw values of the three standards at record i, easy to tell apart.
double ShortRe(int i) {
  return 50 + 0.5 * i;
}
double ShortIm(int i) {
  return -1 + 0.25 * i;
}
double OpenRe(int i) {
  return 5000 + 10 * i;
}
double OpenIm(int i) {
  return -3000 + 7 * i;
}
double LoadRe(int i) {
  return 100 + i;
}
double LoadIm(int i) {
  return 2 + 0.125 * i;
}

std::string Record(int label, double re, double im) {
  char buf[80];
  std::snprintf(buf, sizeof buf, "%3d  %11.4f   %11.4f", label, re, im);
  return buf;
}

// A calibration file as the interactive writer lays it out, with every part replaceable.
struct CalFile {
  std::vector<std::string> format;  // UHF: the format number line
  std::string id_line = " 50   //  _ID=123456     || bench two";
  std::vector<std::string> custom;  // marker, N, start, end, step
  std::string freq_line = " 10    temperature=  72.5";
  std::vector<std::string> uhf;  // segment count, rows, band edges, level
  std::string header = " Short Circuit:  date=03-15-2012  09:30:45";
  int records = 13;
  std::string eol = "\r\n";

  std::string Text() const {
    std::vector<std::string> lines = format;
    lines.push_back(id_line);
    lines.insert(lines.end(), custom.begin(), custom.end());
    lines.push_back(freq_line);
    lines.insert(lines.end(), uhf.begin(), uhf.end());
    lines.push_back(header);
    for (int i = 0; i < records; ++i) lines.push_back(Record(i, ShortRe(i), ShortIm(i)));
    lines.push_back(" Open Circuit:");
    for (int i = 0; i < records; ++i) lines.push_back(Record(i, OpenRe(i), OpenIm(i)));
    lines.push_back(" Standard Resistance:");
    for (int i = 0; i < records; ++i) lines.push_back(Record(i, LoadRe(i), LoadIm(i)));
    std::string out;
    for (const auto& l : lines) out += l + eol;
    return out;
  }
};

// The UHF section: six segments starting at 0, 100, 200, 300, 400, 500 MHz with codes 461..466.
std::vector<std::string> UhfSection(int count = 6) {
  std::vector<std::string> lines{" " + std::to_string(count)};
  for (int i = 0; i < count; ++i) {
    const int start = 100 * i;
    const int code = i < 6 ? 461 + i : 0;
    lines.push_back(" " + std::to_string(1113 * (start + 5 + 11 * i) + (code + 7 + 3 * i)));
  }
  lines.insert(lines.end(), {" 515", " 1150", " 100"});
  return lines;
}

// Everything a calibration file can set besides the tables and CalLoaded.
struct FileSettings {
  std::vector<double> numbers;
  std::vector<std::int32_t> integers;
  std::string texts;
  bool operator==(const FileSettings&) const = default;

  static FileSettings Now() {
    const auto& c = state.cal;
    const auto& s = state.synth;
    const auto& m = state.measure;
    FileSettings f;
    f.numbers = {c.Rcal,       c.CalTemperature, c.CalMaxFreqMHz, c.CustStartMHz,
                 c.CustEndMHz, c.CustStepMHz,    s.MinFreqMHz,    s.MaxFreqMHz,
                 s.Dds1Level,  m.ScanStartMHz,   m.ScanEndMHz,    m.ScanStepMHz};
    f.integers = {c.NumCalPoints, c.CustomCal, s.BandEdge1MHz, s.BandEdge2MHz};
    f.integers.insert(f.integers.end(), std::begin(s.SegStartMHz), std::end(s.SegStartMHz));
    f.integers.insert(f.integers.end(), std::begin(s.SegMults), std::end(s.SegMults));
    f.integers.insert(f.integers.end(), std::begin(s.MultsByMHz), std::end(s.MultsByMHz));
    f.texts = std::string(c.CalComment) + "|" + c.CalDate;
    return f;
  }
};

// The text's first `count` lines, each with its CR LF.
std::string FirstLines(const std::string& text, int count) {
  std::size_t at = 0;
  for (int i = 0; i < count; ++i) at = text.find("\r\n", at) + 2;
  return text.substr(0, at);
}

class CalLoader : public ::testing::Test {
 protected:
  void SetUp() override {
    zel::ResetState();
    zel::InitDefaults();
    state.synth.MaxFreqMHz = 10;
    dir_ = std::filesystem::path(::testing::TempDir()) /
           ("cal_loader_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& bytes, const std::string& name = "cal.acal") {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::int32_t Load(const std::string& bytes) { return ZEL_LoadCalFile(Write(bytes).c_str()); }

  // The tables hold the file's records as CalFile writes them (CalLoad as the raw load values
  // before the factor), over `count` entries.
  void ExpectRawTables(int count) {
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(state.cal.CalShortRe[i], ShortRe(i)) << i;
      ASSERT_EQ(state.cal.CalShortIm[i], ShortIm(i)) << i;
      ASSERT_EQ(state.cal.CalOpenRe[i], OpenRe(i)) << i;
      ASSERT_EQ(state.cal.CalOpenIm[i], OpenIm(i)) << i;
    }
  }

  std::filesystem::path dir_;
  ScriptedPeer peer;
  FakePlatform platform{&peer};
  zel::platform::ScopedPlatform scope{&platform};
};

TEST_F(CalLoader, StandardFileFillsTablesAndLoadFactor) {
  ASSERT_EQ(Load(CalFile{}.Text()), 0);
  const auto& c = state.cal;
  EXPECT_EQ(c.CalLoaded, 1);
  EXPECT_EQ(c.CustomCal, 0);
  EXPECT_EQ(c.NumCalPoints, 13);
  EXPECT_EQ(c.Rcal, 50);
  EXPECT_EQ(c.CalTemperature, 72.5);
  EXPECT_EQ(c.CalMaxFreqMHz, 10);
  EXPECT_STREQ(c.CalComment, "bench two");
  EXPECT_STREQ(c.CalDate, "03-15-2012  09:30:45");
  ExpectRawTables(13);
  for (int i = 0; i < 13; ++i) {
    const std::complex<double> s(ShortRe(i), ShortIm(i)), o(OpenRe(i), OpenIm(i)),
        l(LoadRe(i), LoadIm(i));
    const std::complex<double> k = 50.0 * (o - l) / (l - s);
    EXPECT_NEAR(c.CalLoadRe[i], k.real(), 1e-9 * std::abs(k)) << i;
    EXPECT_NEAR(c.CalLoadIm[i], k.imag(), 1e-9 * std::abs(k)) << i;
  }
  EXPECT_EQ(c.CalShortRe[13], 0) << "nothing past the records";
  EXPECT_TRUE(platform.notices.empty());
}

TEST_F(CalLoader, AcceptsEveryLineEnding) {
  for (const char* eol : {"\r\n", "\r", "\n"}) {
    zel::ResetState();
    zel::InitDefaults();
    state.synth.MaxFreqMHz = 10;
    CalFile f;
    f.eol = eol;
    ASSERT_EQ(Load(f.Text()), 0) << "eol " << int(eol[0]);
    EXPECT_EQ(state.cal.CalLoaded, 1);
    EXPECT_STREQ(state.cal.CalComment, "bench two");
    ExpectRawTables(13);
  }
}

TEST_F(CalLoader, LinesBehindAVeryLongLineStayWhole) {
  // An ID line of about 1 MiB (kept to 255 characters) shifts the lines behind it one byte at a
  // time, with every kind of line end: the lines behind it keep their place and their text.
  constexpr std::size_t kRefill = std::size_t{1} << 20;
  const std::string head = " 50   //  _ID=123456   || ";
  for (const char* eol : {"\r\n", "\r", "\n"}) {
    for (std::size_t shift = 0; shift < 120; ++shift) {
      CalFile f;
      f.eol = eol;
      f.id_line = head + std::string(kRefill - head.size() - 100 + shift, 'x');
      ASSERT_EQ(Load(f.Text()), 0) << shift;
      EXPECT_EQ(state.cal.CalTemperature, 72.5) << shift;
      EXPECT_STREQ(state.cal.CalDate, "03-15-2012  09:30:45") << shift;
      ExpectRawTables(13);
    }
  }
}

TEST_F(CalLoader, StandardFileForTwoHundredMHzHasTwoHundredThreeRecords) {
  state.synth.MaxFreqMHz = 200;
  CalFile f;
  f.freq_line = " 200    temperature=  70";
  f.records = 203;
  ASSERT_EQ(Load(f.Text()), 0);
  EXPECT_EQ(state.cal.NumCalPoints, 203);
  ExpectRawTables(203);
}

// Every refusal of a file, from a calibration that is in use: the code, whether CalLoaded stays,
// and the tables of the earlier load untouched.
TEST_F(CalLoader, RefusedFilesKeepTheTablesInUse) {
  struct Case {
    const char* what;
    std::function<void(CalFile&)> edit;
    std::int32_t status;
    int loaded_after;
    int uhf = 0;
    double max_freq = 10;
  };
  const std::vector<Case> cases = {
      {"other unit", [](CalFile& f) { f.id_line = " 50   //  _ID=654321     || x"; }, 34520, 0},
      {"temperature above 200", [](CalFile& f) { f.freq_line = " 10    temperature=  200.001"; },
       34510, 0},
      {"temperature below 0", [](CalFile& f) { f.freq_line = " 10    temperature=  -1"; }, 34510,
       0},
      {"max frequency 0.0101 away", [](CalFile& f) { f.freq_line = " 10.0101"; }, 34530, 0},
      {"UHF format number", [](CalFile& f) { f.format = {" 12528"}; }, 34508, 1, 1},
      {"UHF 51 segments",
       [](CalFile& f) {
         f.format = {" 12529"};
         f.uhf = UhfSection(51);
       },
       34522, 1, 1},
      {"UHF 3 segments",
       [](CalFile& f) {
         f.format = {" 12529"};
         f.uhf = UhfSection(3);
       },
       34522, 1, 1},
      {"UHF 51 segments and another max frequency",
       [](CalFile& f) {
         f.format = {" 12529"};
         f.freq_line = " 11";
         f.uhf = UhfSection(51);
       },
       213, 0, 1},
      {"UHF 3 segments and another max frequency",
       [](CalFile& f) {
         f.format = {" 12529"};
         f.freq_line = " 11";
         f.uhf = UhfSection(3);
       },
       14, 0, 1},
      {"custom: more points than the tables",
       [](CalFile& f) {
         f.custom = {"Custom Cal     x", " 30033", " 1", " 2", " 0.1"};
       },
       34513, 1},
      {"custom: absurd count",
       [](CalFile& f) {
         f.custom = {"Custom Cal     x", " 1" + std::string(240, '0'), " 1", " 2", " 0.1"};
       },
       34513, 1},
      {"custom: three points read no tables",
       [](CalFile& f) {
         f.custom = {"Custom Cal     x", " 3", " 1", " 2", " 0.1"};
       },
       0, 1},
      {"standard: instrument range beyond the tables", [](CalFile& f) { f.freq_line = " 40000"; },
       34513, 1, 0, 40000},
  };
  CalFile good;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    zel::ResetState();
    zel::InitDefaults();
    state.synth.MaxFreqMHz = 10;
    ASSERT_EQ(Load(good.Text()), 0);
    const double factor0 = state.cal.CalLoadRe[0];
    state.ident.UhfModel = c.uhf;
    state.synth.MaxFreqMHz = c.max_freq;
    CalFile f;
    c.edit(f);
    EXPECT_EQ(Load(f.Text()), c.status);
    EXPECT_EQ(state.cal.CalLoaded, c.loaded_after);
    ExpectRawTables(13);
    EXPECT_EQ(state.cal.CalLoadRe[0], factor0);
    if (c.loaded_after == 1) {
      EXPECT_EQ(state.cal.NumCalPoints, 13) << "the tables in use keep their grid";
      EXPECT_EQ(state.cal.CustomCal, 0);
    }
  }
}

TEST_F(CalLoader, FilesThatCannotBeReadGive34523) {
  ASSERT_EQ(Load(CalFile{}.Text()), 0);
  for (const std::string& path : {(dir_ / "missing.acal").string(), dir_.string()}) {
    EXPECT_EQ(ZEL_LoadCalFile(path.c_str()), 34523) << path;
    EXPECT_EQ(state.cal.CalLoaded, 0);
    ExpectRawTables(13);
  }
  EXPECT_EQ(ZEL_LoadCalFile(std::string(256, 'a').c_str()), 34521) << "path too long";
  EXPECT_TRUE(platform.notices.empty()) << "no notices during an exported call";
}

TEST_F(CalLoader, IdentificationCheck) {
  struct Case {
    const char* id_line;
    const char* unit_id;
    std::int32_t status;
  };
  const Case cases[] = {
      {" 50   //  no id here   || x", "123456", 0},
      {" 50   //  _ID=999999   || made on 123456", "123456", 0},
      {" 50   //  _ID=999999   || made on 777", "123456", 34520},
      {" 50   //  _ID=ALT1   || x", "123456", 0},  // the alternative text matches
      {" 50   //  _ID=123456   || x", "", 34520},
      {" 50   //  _ID=123456   || x", "12345", 0},  // any substring of the line
  };
  for (const auto& c : cases) {
    zel::ResetState();
    zel::InitDefaults();
    state.synth.MaxFreqMHz = 10;
    std::snprintf(state.ident.UnitIdText, zel::kTextSize, "%s", c.unit_id);
    std::snprintf(state.ident.UnitIdAltText, zel::kTextSize, "%s", *c.unit_id ? "ALT1" : "");
    CalFile f;
    f.id_line = c.id_line;
    EXPECT_EQ(Load(f.Text()), c.status) << c.id_line << " / " << c.unit_id;
  }
}

TEST_F(CalLoader, IdLineFields) {
  struct Case {
    const char* id_line;
    double rcal;
    const char* comment;
  };
  const Case cases[] = {
      {" 4.99   //  _ID=123456     || a", 50, "a"},
      {" 5   //  _ID=123456     || a", 5, "a"},
      {"   //  _ID=123456     || a", 50, "a"},
      {" 75.5   //  _ID=123456  min5k   ||   two blanks", 75.5, "  two blanks"},
      {" 100", 100, ""},
  };
  for (const auto& c : cases) {
    state.cal.CalComment[0] = '\0';
    CalFile f;
    f.id_line = c.id_line;
    ASSERT_EQ(Load(f.Text()), 0) << c.id_line;
    EXPECT_EQ(state.cal.Rcal, c.rcal) << c.id_line;
    EXPECT_STREQ(state.cal.CalComment, c.comment) << c.id_line;
  }
}

TEST_F(CalLoader, Min5kLowersTheMinimumOnlyWhenTheFileIsTaken) {
  state.synth.MinFreqMHz = 0.1;
  CalFile f;
  f.id_line = " 50   //  _ID=123456  min5k   || x";
  f.freq_line = " 10    temperature=  250";
  EXPECT_EQ(Load(f.Text()), 34510);
  EXPECT_EQ(state.synth.MinFreqMHz, 0.1) << "a refused file sets nothing";
  f.freq_line = " 10    temperature=  25";
  EXPECT_EQ(Load(f.Text()), 0);
  EXPECT_EQ(state.synth.MinFreqMHz, 0.002);
  state.synth.MinFreqMHz = 0.1;
  EXPECT_EQ(Load(CalFile{}.Text()), 0);
  EXPECT_EQ(state.synth.MinFreqMHz, 0.1) << "without min5k the minimum stays";
}

TEST_F(CalLoader, TemperatureField) {
  struct Case {
    const char* line;
    std::int32_t status;
    double temperature;  // expected when accepted
    double max_freq;
  };
  const Case cases[] = {
      {" 10    temperature=  0", 0, 0, 10},
      {" 10    temperature=  200", 0, 200, 10},
      {" 10    temperature=25", 0, 5, 10},  // the character behind "=" is always passed over
      {" 10.01", 0, -1, 10.01},             // no temperature: none set, frequency still read
  };
  for (const auto& c : cases) {
    state.cal.CalTemperature = -1;
    CalFile f;
    f.freq_line = c.line;
    EXPECT_EQ(Load(f.Text()), c.status) << c.line;
    EXPECT_EQ(state.cal.CalTemperature, c.temperature) << c.line;
    EXPECT_EQ(state.cal.CalMaxFreqMHz, c.max_freq) << c.line;
  }
}

TEST_F(CalLoader, MaxFrequencyMismatchShowsTheDiagnosticDuringAnExportedCall) {
  state.ident.NominalMaxFreqMHz = 10;
  state.ident.StandardModel = 1;
  CalFile f;
  f.freq_line = " 10.0101    temperature=  70";
  EXPECT_EQ(Load(f.Text()), 34530);
  ASSERT_EQ(platform.notices.size(), 1u);
  const auto& n = platform.notices[0];
  EXPECT_EQ(n.title, " 782317");
  EXPECT_EQ(n.flags, zel::platform::kNoticeWarning);
  const std::string path = (dir_ / "cal.acal").string();
  EXPECT_EQ(n.text, " 10.0101    \r\nu= 0.010100000000000 cal file error= 34530 filename=" + path +
                        " focal= 10.010100000000000 maxfreq= 10\r\nMaximumfreq= 10\r\nCheckID= "
                        "1\r\nZELuhf= 0  ZELkqc= 1");
}

TEST_F(CalLoader, RecordLineFields) {
  struct Case {
    const char* line;
    double first, second;
    bool two_numbers;
  };
  const Case cases[] = {
      {"  3      1.5000     -2.2500", 1.5, -2.25, true},
      {"3 7", 7, 0, false},                      // label and one number
      {"3\t1.5\t2.5", 0, 0, false},              // tabs do not separate fields
      {"", 0, 0, false},                         // an empty line
      {"  3  1.5x   2.5 junk", 1.5, 2.5, true},  // each value ends at its first other character
      {"lbl -0.5 \t 4", -0.5, 4, true},
      {"1 .5 -.25", 0.5, -0.25, true},
      {"1 5. -", 5, 0, false},  // a sign alone is no number
      {"1 x 2", 0, 2, false},
      {"1 - .", 0, 0, false},
  };
  for (const auto& c : cases) {
    double a = -99, b = -99;
    EXPECT_EQ(zel::ParseCalRecord(c.line, &a, &b), c.two_numbers) << c.line;
    EXPECT_EQ(a, c.first) << c.line;
    EXPECT_EQ(b, c.second) << c.line;
  }
}

TEST_F(CalLoader, TableEntryBeyondTheRecordsIsClearedNotLeftFromAnEarlierLoad) {
  // A maximum frequency of 10.5 reads round(10.5) + 3 = 13 records into round(13.5) = 14
  // entries; the 14th must not keep what an earlier, longer load put there.
  state.synth.MaxFreqMHz = 11;
  CalFile longer;
  longer.freq_line = " 11";
  longer.records = 14;
  ASSERT_EQ(Load(longer.Text()), 0);
  ASSERT_NE(state.cal.CalShortRe[13], 0);
  state.synth.MaxFreqMHz = 10.5;
  CalFile f;
  f.freq_line = " 10.5";
  ASSERT_EQ(Load(f.Text()), 0);
  EXPECT_EQ(state.cal.NumCalPoints, 14);
  ExpectRawTables(13);
  EXPECT_EQ(state.cal.CalShortRe[13], 0);
  EXPECT_EQ(state.cal.CalOpenIm[13], 0);
  EXPECT_EQ(state.cal.CalLoadRe[13], 0);

  // 11.5 reads round(11.5) + 3 = 15 records into round(14.5) = 14 entries: the load factor covers
  // the 14, and the 15th record stays as the file has it.
  state.synth.MaxFreqMHz = 11.5;
  f.freq_line = " 11.5";
  f.records = 15;
  ASSERT_EQ(Load(f.Text()), 0);
  EXPECT_EQ(state.cal.NumCalPoints, 14);
  ExpectRawTables(15);
  EXPECT_EQ(state.cal.CalLoadRe[14], LoadRe(14));
  EXPECT_EQ(state.cal.CalLoadIm[14], LoadIm(14));
  const std::complex<double> s(ShortRe(13), ShortIm(13)), o(OpenRe(13), OpenIm(13)),
      l(LoadRe(13), LoadIm(13));
  EXPECT_NEAR(state.cal.CalLoadRe[13], (50.0 * (o - l) / (l - s)).real(), 1e-9);
}

TEST_F(CalLoader, LongLinesAreCutAt255Characters) {
  CalFile f;
  std::string text = f.Text();
  // A record line of 300 characters: the values come first, the rest is passed over and the next
  // line is still the next record.
  const std::string first = Record(0, ShortRe(0), ShortIm(0));
  text.replace(text.find(first), first.size(), first + std::string(300, ' ') + "9");
  ASSERT_EQ(Load(text), 0);
  ExpectRawTables(13);
  // An identification that stands beyond the 255th character is not seen.
  f.id_line = " 50   //  _ID=" + std::string(250, 'x') + "123456";
  EXPECT_EQ(Load(f.Text()), 34520);
}

TEST_F(CalLoader, LoadFactorGuardsEqualLoadAndShort) {
  CalFile f;
  std::string text = f.Text();
  // Record 4 of the resistor block equal to the short's record 4.
  const std::string load4 = Record(4, LoadRe(4), LoadIm(4));
  text.replace(text.rfind(load4), load4.size(), Record(4, ShortRe(4), ShortIm(4)));
  ASSERT_EQ(Load(text), 0);
  // A = O - S, |L - S|^2 taken as 1e-4, B = 0.
  EXPECT_DOUBLE_EQ(state.cal.CalLoadRe[4], 50 * 0 / 1e-4);
  EXPECT_EQ(state.cal.CalLoadIm[4], 0);
  EXPECT_TRUE(std::isfinite(state.cal.CalLoadRe[4]));
}

TEST_F(CalLoader, CalcLoadFactorStaysInsideTheTables) {
  state.cal.NumCalPoints = 1 << 30;
  state.cal.Rcal = 50;
  zel::CalcLoadFactor();  // must not run past the tables (the sanitizer build checks)
  state.cal.NumCalPoints = -5;
  zel::CalcLoadFactor();
  SUCCEED();
}

TEST_F(CalLoader, GarbageNeverLeavesPartTables) {
  ASSERT_EQ(Load(CalFile{}.Text()), 0);
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    std::string junk(static_cast<std::size_t>(rng() % 4000), '\0');
    for (auto& ch : junk) ch = static_cast<char>(rng());
    if (round % 2) junk = " 50   //  _ID=123456\r\n" + junk;  // past the identification
    Load(junk);
    EXPECT_NE(state.frame.StatusCode, 0) << round;
    ExpectRawTables(13);
  }
}

TEST_F(CalLoader, UhfFileReadsSegmentsBandEdgesAndLevel) {
  ASSERT_EQ(ZEL_CommPort(1, 1, 57600), 0);
  platform.TakeWrites();
  state.ident.UhfModel = 1;
  CalFile f;
  f.format = {" 12529"};
  f.uhf = UhfSection();
  f.uhf[1] = " 61225";   // row 0: start 50 MHz, value 3
  f.uhf[2] = " 129122";  // row 1: start 100 MHz, value 4
  f.uhf[f.uhf.size() - 3] = " 520";
  f.uhf[f.uhf.size() - 2] = " 1100";
  f.uhf[f.uhf.size() - 1] = " 50";
  ASSERT_EQ(Load(f.Text()), 0);
  EXPECT_EQ(state.synth.SegStartMHz[0], 50);
  EXPECT_EQ(state.synth.SegMults[0], 3);
  EXPECT_EQ(state.synth.SegStartMHz[1], 100);
  EXPECT_EQ(state.synth.SegMults[1], 4);
  EXPECT_EQ(state.synth.SegStartMHz[5], 500);
  EXPECT_EQ(state.synth.SegMults[5], 466);
  EXPECT_EQ(state.synth.MultsByMHz[99], 3);
  EXPECT_EQ(state.synth.MultsByMHz[150], 4);
  EXPECT_EQ(state.synth.BandEdge1MHz, 520);
  EXPECT_EQ(state.synth.BandEdge2MHz, 1100);
  EXPECT_EQ(state.synth.Dds1Level, 50);
  const auto writes = platform.TakeWrites();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.back(), "M0200") << "the level goes to the instrument";
  ExpectRawTables(13);
}

TEST_F(CalLoader, UhfFileBeforeIdentificationIsReadOneLineOutOfStep) {
  // UhfModel is still 0: the format number is taken for the ID line (no "ID=", so it passes,
  // Rcal 12529) and the ID line for the frequency line (Rcal 50 = maximum frequency 50).
  CalFile f;
  f.format = {" 12529"};
  f.freq_line = " 10    temperature=  70";
  EXPECT_EQ(Load(f.Text()), 34530);
  ASSERT_EQ(platform.notices.size(), 1u);
  EXPECT_NE(platform.notices[0].text.find(" focal= 50 "), std::string::npos)
      << platform.notices[0].text;
}

TEST_F(CalLoader, CustomFileReadsItsGridAndNormalisesTheScanWindow) {
  // The low-range model with the default window: 5 to 25 MHz and a step of a quarter.
  state.synth.MaxFreqMHz = 32;
  state.synth.MinFreqMHz = 0.1;
  CalFile f;
  f.custom = {"Custom Cal     03-15-2012  09:30:45", " 13", " 1.5", " 6.5", " 0.5"};
  f.freq_line = " 32    temperature=  70";
  ASSERT_EQ(Load(f.Text()), 0);
  const auto& c = state.cal;
  EXPECT_EQ(c.CustomCal, 1);
  EXPECT_EQ(c.NumCalPoints, 13);
  EXPECT_EQ(c.CustStartMHz, 1.5);
  EXPECT_EQ(c.CustEndMHz, 6.5);
  EXPECT_EQ(c.CustStepMHz, 0.5);
  ExpectRawTables(13);
  EXPECT_EQ(state.measure.ScanStartMHz, 5);
  EXPECT_EQ(state.measure.ScanEndMHz, 25);
  EXPECT_EQ(state.measure.ScanStepMHz, 5);
  EXPECT_TRUE(platform.notices.empty());

  // The next custom load finds a step above 3.2 (rule 5) and says so, also during a call.
  ASSERT_EQ(Load(f.Text()), 0);
  ASSERT_EQ(platform.notices.size(), 1u);
  EXPECT_EQ(platform.notices[0].title, " Scan Limit Error  5");
  EXPECT_EQ(platform.notices[0].text,
            "A scan limit error was found.\r\nBe sure the proper scan limits are set and\r\n"
            "the correct cal file and config file are loaded.");
}

TEST_F(CalLoader, ScanLimitRules) {
  struct Case {
    double start, end, step;
    int rule;  // 0: none fires
    double new_start;
  };
  // MaxFreqMHz 100, MinFreqMHz 0.1.
  const Case cases[] = {
      {-5, 25, 0.2, 0, 5},      {0.05, 25, 0.2, 1, 0.1}, {150, 25, 0.2, 6, 99},  // 2, then 6
      {5, 0.01, 0.2, 6, 5},     {5, 200, 0.2, 4, 5},     {5, 25, 50, 5, 5},
      {5, 5.00001, 1e-6, 6, 5},
  };
  for (const auto& c : cases) {
    state.synth.MaxFreqMHz = 100;
    state.synth.MinFreqMHz = 0.1;
    state.measure.ScanStartMHz = c.start;
    state.measure.ScanEndMHz = c.end;
    state.measure.ScanStepMHz = c.step;
    platform.notices.clear();
    zel::CheckScanLimits();
    EXPECT_EQ(state.measure.ScanStartMHz, c.new_start) << c.start << " " << c.end;
    if (c.rule == 0) {
      EXPECT_TRUE(platform.notices.empty()) << c.start << " " << c.end;
    } else {
      ASSERT_EQ(platform.notices.size(), 1u) << c.start << " " << c.end;
      EXPECT_EQ(platform.notices[0].title, " Scan Limit Error  " + std::to_string(c.rule));
    }
    EXPECT_LE(state.measure.ScanEndMHz, 100);
    EXPECT_GT(state.measure.ScanStepMHz, 0);
  }
}

TEST_F(CalLoader, InteractiveNoticesOnlyOutsideAnExportedCall) {
  CalFile f;
  f.id_line = " 50   //  _ID=654321     || x";
  Write(f.Text());
  std::snprintf(state.cal.CalFilePath, zel::kTextSize, "%s", (dir_ / "cal.acal").c_str());
  state.frame.InExportCall = 0;
  zel::ReadCalFile();
  EXPECT_EQ(state.frame.StatusCode, 34520);
  ASSERT_EQ(platform.notices.size(), 1u);
  EXPECT_EQ(platform.notices[0].title, " Wrong cal file");
  EXPECT_EQ(platform.notices[0].text,
            "This cal file is for a different instrument.\r\rPlease load another cal file or "
            "recalibrate.");
}

// A file cut short or a record line without its two numbers is refused with 34531, and the
// calibration in use stays in use with everything the earlier load set.
TEST_F(CalLoader, DamagedFilesAreRefusedAndTheCalibrationInUseStays) {
  struct Case {
    const char* what;
    std::function<std::string()> text;
    int uhf = 0;
  };
  const std::string whole = CalFile{}.Text();  // 1 ID, 1 frequency, 1 header, 13 + 1 + 13 + 1 + 13
  auto replace = [&](const std::string& from, const std::string& to) {
    std::string t = whole;
    t.replace(t.rfind(from), from.size(), to);
    return t;
  };
  CalFile uhf;
  uhf.format = {" 12529"};
  uhf.uhf = UhfSection();
  CalFile few;
  few.custom = {"Custom Cal     x", " 2", " 1", " 2", " 0.1"};
  const std::vector<Case> cases = {
      {"empty file", [] { return std::string(); }},
      {"cut after the ID line", [&] { return FirstLines(whole, 1); }},
      {"cut after the frequency line", [&] { return FirstLines(whole, 2); }},
      {"cut after the table header", [&] { return FirstLines(whole, 3); }},
      {"cut after the first block", [&] { return FirstLines(whole, 16); }},
      {"last record line missing", [&] { return FirstLines(whole, 43); }},
      {"last record cut in its second value", [&] { return whole.substr(0, whole.size() - 12); }},
      {"last record cut in its first value", [&] { return whole.substr(0, whole.size() - 22); }},
      {"a record line of garbage", [&] { return replace(Record(5, OpenRe(5), OpenIm(5)), "#@!"); }},
      {"a record line with one number",
       [&] { return replace(Record(5, LoadRe(5), LoadIm(5)), "  5  105.0000"); }},
      {"an empty record line", [&] { return replace(Record(0, ShortRe(0), ShortIm(0)), ""); }},
      {"UHF: cut in the segment rows", [&] { return FirstLines(uhf.Text(), 6); }, 1},
      {"UHF: cut before the level", [&] { return FirstLines(uhf.Text(), 11); }, 1},
      {"custom of 2 points: cut before the table header",
       [&] { return FirstLines(few.Text(), 7); }},
      {"custom: cut in the grid lines", [&] { return FirstLines(few.Text(), 4); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    zel::ResetState();
    zel::InitDefaults();
    state.synth.MaxFreqMHz = 10;
    ASSERT_EQ(ZEL_CommPort(1, 1, 57600), 0);
    state.ident.UhfModel = c.uhf;
    CalFile good;
    if (c.uhf) {
      good.format = {" 12529"};
      good.uhf = UhfSection();
      good.uhf[good.uhf.size() - 1] = " 60";
    }
    ASSERT_EQ(Load(good.Text()), 0);
    const double factor0 = state.cal.CalLoadRe[0];
    const FileSettings before = FileSettings::Now();
    platform.TakeWrites();
    platform.notices.clear();
    EXPECT_EQ(Load(c.text()), 34531);
    EXPECT_EQ(state.cal.CalLoaded, 1);
    ExpectRawTables(13);
    EXPECT_EQ(state.cal.CalLoadRe[0], factor0);
    EXPECT_TRUE(FileSettings::Now() == before);
    EXPECT_TRUE(platform.TakeWrites().empty()) << "no level command";
    for (const auto& n : platform.notices) {
      EXPECT_EQ(n.title.rfind(" Scan Limit Error", 0), 0u) << "only the custom file's own notice";
    }
    ZEL_CommPort(0, 1, 0);
  }
  // A last line without its line end is whole.
  std::string text = whole;
  text.resize(text.size() - 2);
  EXPECT_EQ(Load(text), 0);
}

// What a refused file would have set does not happen: neither its settings nor its UHF segments,
// multiplier map, band edges and level, nor the "M" command. Only the status and CalLoaded (where
// the check clears it) change.
TEST_F(CalLoader, RefusedFilesSetNothing) {
  struct Case {
    const char* what;
    std::function<void(CalFile&)> edit;
    std::int32_t status;
    int loaded_after;
    int uhf = 0;
    int power = 0;
  };
  auto uhf_section = [](CalFile& f, int segments) {
    f.format = {" 12529"};
    f.uhf = UhfSection(segments);
    f.uhf[2] = " 129123";  // another multiplier for row 1
    f.uhf[f.uhf.size() - 3] = " 600";
    f.uhf[f.uhf.size() - 1] = " 40";
  };
  const std::vector<Case> cases = {
      {"UHF: 51 segments", [&](CalFile& f) { uhf_section(f, 51); }, 34522, 1, 1},
      {"UHF: 3 segments", [&](CalFile& f) { uhf_section(f, 3); }, 34522, 1, 1},
      {"UHF: another maximum frequency",
       [&](CalFile& f) {
         uhf_section(f, 6);
         f.freq_line = " 11";
       },
       34530, 0, 1},
      {"UHF: format number", [&](CalFile& f) { f.format = {" 1"}; }, 34508, 1, 1},
      {"temperature, with min5k, a comment and Rcal",
       [](CalFile& f) {
         f.id_line = " 75   //  _ID=123456  min5k   || other comment";
         f.freq_line = " 10    temperature=  201";
       },
       34510, 0},
      {"other unit, with min5k and a comment",
       [](CalFile& f) { f.id_line = " 75   //  _ID=999  min5k   || other comment"; }, 34520, 0},
      {"custom: another maximum frequency",
       [](CalFile& f) {
         f.custom = {"Custom Cal     x", " 13", " 1", " 7", " 0.5"};
         f.freq_line = " 12    temperature=  70";
       },
       34530, 0},
      {"custom: beyond the tables",
       [](CalFile& f) {
         f.custom = {"Custom Cal     x", " 30033", " 1", " 7", " 0.5"};
       },
       34513, 1},
      {"high-power custom: temperature",
       [](CalFile& f) {
         f.custom = {"Custom Cal     x", " 13", " 1", " 7", " 0.5"};
         f.freq_line = " 170    temperature=  -5";
       },
       34510, 0, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    zel::ResetState();
    zel::InitDefaults();
    state.synth.MaxFreqMHz = 10;
    state.synth.MinFreqMHz = 0.1;
    ASSERT_EQ(ZEL_CommPort(1, 1, 57600), 0);
    state.ident.UhfModel = c.uhf;
    CalFile good;
    if (c.uhf) uhf_section(good, 6), good.uhf[2] = " 129122";
    ASSERT_EQ(Load(good.Text()), 0);
    state.ident.PowerModel = c.power;
    const FileSettings before = FileSettings::Now();
    platform.TakeWrites();
    CalFile f;
    c.edit(f);
    EXPECT_EQ(Load(f.Text()), c.status);
    EXPECT_EQ(state.cal.CalLoaded, c.loaded_after);
    EXPECT_TRUE(FileSettings::Now() == before);
    if (c.uhf) {
      EXPECT_EQ(state.synth.MultsByMHz[150], 4) << "the map of the tables in use";
    }
    EXPECT_TRUE(platform.TakeWrites().empty()) << "nothing sent";
    ExpectRawTables(13);
    ZEL_CommPort(0, 1, 0);
  }
}

// A custom file of N <= 3 points reads no tables, yet its temperature, maximum frequency and
// segment checks run as for any file; only counts beyond the tables are refused with 34513.
TEST_F(CalLoader, SmallCustomCountsReadNoTablesButStillRunTheChecks) {
  struct Case {
    const char* count;
    const char* freq_line;
    std::int32_t status;
    int loaded_after;
  };
  const Case cases[] = {
      {" 3", " 10    temperature=  70", 0, 1},
      {" 0", " 10    temperature=  70", 0, 1},
      {" -1", " 10    temperature=  70", 0, 1},
      {" -1000000000000", " 10    temperature=  70", 0, 1},
      {" -1", " 11    temperature=  70", 34530, 0},
      {" -1", " 10    temperature=  250", 34510, 0},
      {" 30033", " 11    temperature=  70", 34513, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.count) + " / " + c.freq_line);
    zel::ResetState();
    zel::InitDefaults();
    state.synth.MaxFreqMHz = 10;
    ASSERT_EQ(Load(CalFile{}.Text()), 0);
    CalFile f;
    f.custom = {"Custom Cal     x", c.count, " 1", " 2", " 0.1"};
    f.freq_line = c.freq_line;
    EXPECT_EQ(Load(f.Text()), c.status);
    EXPECT_EQ(state.cal.CalLoaded, c.loaded_after);
    EXPECT_EQ(state.cal.NumCalPoints, 13) << "the tables in use keep their grid";
    ExpectRawTables(13);
  }
}

// Only a regular file is read: a FIFO without a writer, a device and a folder give 34523 at
// once; a file longer than any calibration file gives 34513 before it is read.
TEST_F(CalLoader, OnlyRegularFilesOfAPossibleSizeAreRead) {
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string huge = (dir_ / "huge.acal").string();
  { std::ofstream(huge, std::ios::binary) << CalFile{}.Text(); }
  // 90,161 lines of 257 bytes is the longest file the format allows; this is one byte more.
  std::filesystem::resize_file(huge, 90161ull * 257 + 1);
  struct Case {
    std::string path;
    std::int32_t status;
    int loaded_after;
  };
  const Case cases[] = {
      {fifo, 34523, 0},          {"/dev/zero", 34523, 0}, {"/dev/null", 34523, 0},
      {dir_.string(), 34523, 0}, {huge, 34513, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    ASSERT_EQ(Load(CalFile{}.Text()), 0);
    EXPECT_EQ(ZEL_LoadCalFile(c.path.c_str()), c.status);
    EXPECT_EQ(state.cal.CalLoaded, c.loaded_after);
    ExpectRawTables(13);
  }
  std::filesystem::resize_file(huge, 90161ull * 257);
  EXPECT_EQ(ZEL_LoadCalFile(huge.c_str()), 0) << "the longest possible file is read";
}

// The loader reads the writer's record lines a faster way than ParseCalRecord; every line, of the
// writer's form or not, must give exactly the values of the general rule (bit for bit, the sign
// of a zero too).
TEST_F(CalLoader, RecordValuesAreThoseOfTheGeneralRuleBitForBit) {
  std::mt19937 rng(29);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  auto digits = [&](int n) {
    std::string d;
    for (int i = 0; i < n; ++i) d += static_cast<char>('0' + pick(10));
    return d;
  };
  auto number = [&] {
    std::string t = pick(3) == 0 ? "-" : "";
    const int form = pick(10);
    if (form == 0) return t + digits(1 + pick(25));                         // whole, long
    if (form == 1) return t + "." + digits(1 + pick(25));                   // no whole digits
    if (form == 2) return t + digits(1 + pick(3)) + ".";                    // no decimals
    if (form == 3) return t + "0000000000000000000" + digits(1 + pick(4));  // leading zeros
    if (form == 4) return t + digits(1 + pick(8)) + "." + digits(15 + pick(10));
    return t + digits(1 + pick(6)) + "." + digits(pick(5));  // the writer's form and near it
  };
  auto blanks = [&](int most) { return std::string(static_cast<std::size_t>(pick(most)), ' '); };
  auto line = [&] {
    std::string l = blanks(4) + (pick(2) ? digits(1 + pick(4)) : number()) + " " + blanks(3) +
                    number() + " " + blanks(3) + number();
    const int extra = pick(12);
    if (extra == 0) l += "   ";                        // blanks behind
    if (extra == 1) l += "x7";                         // text behind the number
    if (extra == 2) l += std::string(260, ' ') + "1";  // a line over 255 characters
    if (extra == 3) l = "\t" + l;                      // a tab in the label
    if (extra == 4)
      l.insert(l.find(' ', l.find_first_not_of(' ')) + 1, "\t");  // a tab before a value
    return l;
  };
  state.synth.MaxFreqMHz = 2000;
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    std::vector<std::string> lines;
    std::string text = " 50   //  _ID=123456\r\n 2000\r\n Short Circuit:  date=x\r\n";
    for (int block = 0; block < 3; ++block) {
      if (block == 1) text += " Open Circuit:\r\n";
      if (block == 2) text += " Standard Resistance:\r\n";
      for (int i = 0; i < 2003; ++i) {
        std::string l = block < 2 ? line() : Record(i, LoadRe(i), LoadIm(i));
        double a, b;
        if (block < 2 && !zel::ParseCalRecord(std::string_view(l).substr(0, 255), &a, &b)) {
          l = Record(i, ShortRe(i), ShortIm(i));  // a damaged line has its own test
        }
        if (block < 2) lines.push_back(l);
        text += l + (pick(3) == 0 ? "\n" : "\r\n");
      }
    }
    ASSERT_EQ(Load(text), 0);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      double a, b;
      ASSERT_TRUE(zel::ParseCalRecord(std::string_view(lines[i]).substr(0, 255), &a, &b));
      const int e = static_cast<int>(i % 2003);
      const double got_a = i < 2003 ? state.cal.CalShortRe[e] : state.cal.CalOpenRe[e];
      const double got_b = i < 2003 ? state.cal.CalShortIm[e] : state.cal.CalOpenIm[e];
      ASSERT_EQ(std::memcmp(&got_a, &a, sizeof a), 0) << lines[i] << " / " << got_a << " " << a;
      ASSERT_EQ(std::memcmp(&got_b, &b, sizeof b), 0) << lines[i] << " / " << got_b << " " << b;
    }
  }
}

}  // namespace
