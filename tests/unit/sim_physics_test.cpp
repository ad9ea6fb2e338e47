// The simulated device under test and the bridge's error network.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>

#include "simulator.h"

namespace {

using C = std::complex<double>;
using zelsim::Dut;
using zelsim::ErrorModel;

C Impedance(const std::string& dut_text, double f) {
  Dut d;
  std::string err;
  EXPECT_TRUE(zelsim::ParseDut(dut_text, &d, &err)) << dut_text << ": " << err;
  return zelsim::DutImpedance(d, f);
}

TEST(SimDut, CircuitsGiveTheirImpedance) {
  const double w = 2 * M_PI * 10e6;  // at 10 MHz
  struct Case {
    std::string dut_text;
    C z;
  } cases[] = {
      {"r=50,x=10", {50, 10}},
      {"r=12.5", {12.5, 0}},
      {"short", {0, 0}},
      {"load:r=100", {100, 0}},
      {"load", {50, 0}},
      {"series:r=10,l=1u", {10, w * 1e-6}},
      {"series:r=10,l=1u,c=100p", {10, w * 1e-6 - 1 / (w * 100e-12)}},
      {"parallel:r=200", {200, 0}},
      {"parallel:r=200,c=100p", 1.0 / C(1 / 200.0, w * 100e-12)},
      {"parallel:l=1u,c=253.3p", 1.0 / C(0, w * 253.3e-12 - 1 / (w * 1e-6))},
      {"antenna:f0=10,r=50,q=10", {50, 0}},  // at resonance
  };
  for (const auto& c : cases) {
    C z = Impedance(c.dut_text, 10);
    EXPECT_NEAR(z.real(), c.z.real(), 1e-9 * (1 + std::abs(c.z))) << c.dut_text;
    EXPECT_NEAR(z.imag(), c.z.imag(), 1e-9 * (1 + std::abs(c.z))) << c.dut_text;
  }
  EXPECT_TRUE(std::isinf(Impedance("open", 10).real()));
  // An antenna is capacitive below resonance and inductive above it.
  EXPECT_LT(Impedance("antenna:f0=14.2,r=50,q=10", 13).imag(), 0);
  EXPECT_GT(Impedance("antenna:f0=14.2,r=50,q=10", 15).imag(), 0);
}

TEST(SimDut, RejectsMalformedDescriptions) {
  for (const char* bad : {"", "resistor", "series:r=-1", "r=abc", "antenna:f0=0", "short:r=1",
                          "load:x=3", "series:q=3", "s1p:/nonexistent/file.s1p"}) {
    Dut d;
    std::string err;
    EXPECT_FALSE(zelsim::ParseDut(bad, &d, &err)) << bad;
    EXPECT_FALSE(err.empty()) << bad;
  }
}

TEST(SimDut, TouchstoneFormatsUnitsAndInterpolation) {
  struct Case {
    std::string text;
    double f;
    C z;
  } cases[] = {
      // S = 0 is the reference; S = 1/3 against 50 ohm is 100 ohm; between them, S interpolated.
      {"# MHZ S RI R 50\n10 0 0\n20 0.333333333333 0\n", 10, {50, 0}},
      {"# MHZ S RI R 50\n10 0 0\n20 0.333333333333 0\n", 20, {100, 0}},
      {"# MHZ S RI R 50\n10 0 0\n20 0.333333333333 0\n",
       15,
       {50 * (1 + 1 / 6.0) / (1 - 1 / 6.0), 0}},
      {"! comment\n# GHZ S MA R 75\n0.01 0.5 180\n", 10, {25, 0}},
      {"# HZ S DB R 50\n10000000 -6.020599913 0\n", 10, {150, 0}},
      {"# KHZ S RI\n10000 0 0.5 ! inline comment\n", 10, {30, 40}},
      {"# MHZ S RI R 50\n10 0 0\n20 0.333333333333 0\n", 1000, {100, 0}},  // held beyond the end
  };
  for (const auto& c : cases) {
    Dut d;
    std::string err;
    ASSERT_TRUE(zelsim::ParseTouchstone(c.text, &d, &err)) << err;
    C z = zelsim::DutImpedance(d, c.f);
    EXPECT_NEAR(z.real(), c.z.real(), 1e-6) << c.text;
    EXPECT_NEAR(z.imag(), c.z.imag(), 1e-6) << c.text;
  }
  std::string path = testing::TempDir() + "/sim_dut_test.s1p";
  std::ofstream(path) << "# MHZ S RI R 50\n14 0 0\n";
  EXPECT_NEAR(Impedance("s1p:" + path, 14).real(), 50, 1e-9);
  std::remove(path.c_str());
  Dut d;
  std::string err;
  EXPECT_FALSE(zelsim::ParseTouchstone("# MHZ Y RI\n10 0 0\n", &d, &err));
  EXPECT_FALSE(zelsim::ParseTouchstone("# MHZ S RI\n10 0\n", &d, &err));
}

// The library's correction: Z = K (Zm - S) / (O - Zm) on bridge-arm impedances, with
// K = Rcal (O - L) / (L - S) from the measured standards.
C Correct(C zm, C s, C o, C l, double rcal) {
  C k = rcal * (o - l) / (l - s);
  return k * (zm - s) / (o - zm);
}

TEST(SimErrorModel, RawDiffersFromTheTruthAndShortOpenLoadRemovesItExactly) {
  const ErrorModel em;
  const double rgen = 50.2, rcal = 50;
  const C inf{std::numeric_limits<double>::infinity(), 0};
  for (double f : {0.01, 1.0, 14.2, 145.0, 433.0, 1000.0}) {
    C s = rgen + zelsim::ApplyErrorModel(em, 0, f);
    C o = rgen + zelsim::ApplyErrorModel(em, inf, f);
    C l = rgen + zelsim::ApplyErrorModel(em, rcal, f);
    for (C z : {C(50, 0), C(12, -30), C(300, 150), C(3, -8)}) {
      C raw = zelsim::ApplyErrorModel(em, z, f);
      EXPECT_GT(std::abs(raw - z) / std::abs(z), 0.03) << f << " " << z;
      C back = Correct(rgen + raw, s, o, l, rcal);
      EXPECT_NEAR(std::abs(back - z) / std::abs(z), 0, 1e-9) << f << " " << z;
    }
  }
}

TEST(SimErrorModel, StandardsInterpolatedOnAOneMegahertzGridStayWithinATenthOfAPercent) {
  const ErrorModel em;
  const double rgen = 51.3, rcal = 50;
  const C inf{std::numeric_limits<double>::infinity(), 0};
  auto standards = [&](double f, C* s, C* o, C* k) {
    *s = rgen + zelsim::ApplyErrorModel(em, 0, f);
    *o = rgen + zelsim::ApplyErrorModel(em, inf, f);
    C l = rgen + zelsim::ApplyErrorModel(em, rcal, f);
    *k = rcal * (*o - l) / (l - *s);
  };
  double worst = 0;
  for (double n = 0; n < 1000; n += 7) {
    C s0, o0, k0, s1, o1, k1;
    standards(n, &s0, &o0, &k0);
    standards(n + 1, &s1, &o1, &k1);
    double f = n + 0.5;
    C s = 0.5 * (s0 + s1), o = 0.5 * (o0 + o1), k = 0.5 * (k0 + k1);
    for (C z : {C(50, 0), C(10, 20), C(200, -100)}) {
      C zm = rgen + zelsim::ApplyErrorModel(em, z, f);
      C got = k * (zm - s) / (o - zm);
      worst = std::max(worst, std::abs(got - z) / std::abs(z));
    }
  }
  EXPECT_LT(worst, 1e-3);
}

}  // namespace
