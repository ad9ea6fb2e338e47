// Devices under test and the bridge's error network.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <numbers>
#include <sstream>

#include "simulator.h"
#include "text.h"

namespace zelsim {
namespace {

using Complex = std::complex<double>;
constexpr double kTwoPi = 2 * std::numbers::pi;
// A DC point has no reactance to speak of; the circuits are evaluated just above it instead.
constexpr double kLowestMHz = 1e-9;
const Complex kOpen{std::numeric_limits<double>::infinity(), 0};

bool IsOpen(Complex z) {
  return !std::isfinite(z.real()) || !std::isfinite(z.imag());
}

// "4.7n" -> 4.7e-9. Suffixes: p n u m k M G.
bool ParseNumber(const std::string& text, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str()) return false;
  std::string rest(end);
  if (rest.size() > 1) return false;
  if (rest.size() == 1) {
    switch (rest[0]) {
      case 'p':
        v *= 1e-12;
        break;
      case 'n':
        v *= 1e-9;
        break;
      case 'u':
        v *= 1e-6;
        break;
      case 'm':
        v *= 1e-3;
        break;
      case 'k':
        v *= 1e3;
        break;
      case 'M':
        v *= 1e6;
        break;
      case 'G':
        v *= 1e9;
        break;
      default:
        return false;
    }
  }
  if (!std::isfinite(v)) return false;
  *out = v;
  return true;
}

// "r=50,x=10" into a map; false on a field without "=" or with a bad number.
bool ParseFields(const std::string& text, std::map<std::string, double>* fields,
                 std::string* error) {
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) {
    if (item.empty()) continue;
    auto eq = item.find('=');
    double v = 0;
    if (eq == std::string::npos || !ParseNumber(item.substr(eq + 1), &v)) {
      if (error) *error = "bad field \"" + item + "\"";
      return false;
    }
    (*fields)[item.substr(0, eq)] = v;
  }
  return true;
}

bool OnlyKeys(const std::map<std::string, double>& fields, std::initializer_list<const char*> keys,
              std::string* error) {
  for (auto& [k, v] : fields) {
    if (std::none_of(keys.begin(), keys.end(), [&](const char* key) { return k == key; })) {
      if (error) *error = "unknown field \"" + k + "\"";
      return false;
    }
  }
  return true;
}

double Get(const std::map<std::string, double>& f, const char* key, double fallback) {
  auto it = f.find(key);
  return it == f.end() ? fallback : it->second;
}

Complex Reciprocal(Complex z) {
  if (IsOpen(z)) return 0;
  if (z == Complex(0, 0)) return kOpen;
  return 1.0 / z;
}

}  // namespace

bool ParseTouchstone(const std::string& content, Dut* out, std::string* error) {
  double unit = 1e3;  // to MHz; GHZ is the Touchstone default
  std::string format = "ma";
  double ref = 50;
  std::vector<TablePoint> table;
  std::istringstream in(content);
  std::string line;
  int line_no = 0;
  while (std::getline(in, line)) {
    ++line_no;
    if (auto bang = line.find('!'); bang != std::string::npos) line.erase(bang);
    std::istringstream ls(line);
    std::string first;
    if (!(ls >> first)) continue;
    if (first[0] == '#') {
      std::vector<std::string> tokens;
      std::string t = first.substr(1);
      if (!t.empty()) tokens.push_back(zeltext::Lower(t));
      while (ls >> t) tokens.push_back(zeltext::Lower(t));
      for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::string& tok = tokens[i];
        if (tok == "hz")
          unit = 1e-6;
        else if (tok == "khz")
          unit = 1e-3;
        else if (tok == "mhz")
          unit = 1;
        else if (tok == "ghz")
          unit = 1e3;
        else if (tok == "ri" || tok == "ma" || tok == "db")
          format = tok;
        else if (tok == "s")
          continue;
        else if (tok == "r" && i + 1 < tokens.size())
          ref = std::atof(tokens[++i].c_str());
        else {
          if (error) *error = "line " + std::to_string(line_no) + ": unsupported option " + tok;
          return false;
        }
      }
      continue;
    }
    double f = 0, a = 0, b = 0;
    if (!ParseNumber(first, &f) || !(ls >> a >> b)) {
      if (error) *error = "line " + std::to_string(line_no) + ": not a one-port data line";
      return false;
    }
    Complex s;
    if (format == "ri") {
      s = {a, b};
    } else {
      double mag = format == "db" ? std::pow(10.0, a / 20) : a;
      s = std::polar(mag, b * std::numbers::pi / 180);
    }
    table.push_back({f * unit, s});
  }
  if (table.empty()) {
    if (error) *error = "no data";
    return false;
  }
  if (ref <= 0) {
    if (error) *error = "bad reference resistance";
    return false;
  }
  std::stable_sort(table.begin(), table.end(),
                   [](const TablePoint& x, const TablePoint& y) { return x.f_mhz < y.f_mhz; });
  out->kind = Dut::Kind::kTouchstone;
  out->table = std::move(table);
  out->ref_ohms = ref;
  return true;
}

bool ParseDut(const std::string& text, Dut* out, std::string* error) {
  Dut d;
  d.text = text;
  std::string kind = text, rest;
  if (auto colon = text.find(':'); colon != std::string::npos) {
    kind = text.substr(0, colon);
    rest = text.substr(colon + 1);
  } else if (text.find('=') != std::string::npos) {
    kind = "fixed";
    rest = text;
  }
  kind = zeltext::Lower(kind);
  if (kind == "s1p") {
    std::ifstream f(rest);
    if (!f) {
      if (error) *error = "cannot read " + rest;
      return false;
    }
    std::stringstream ss;
    ss << f.rdbuf();
    if (!ParseTouchstone(ss.str(), &d, error)) return false;
    *out = std::move(d);
    return true;
  }
  std::map<std::string, double> fields;
  if (!ParseFields(rest, &fields, error)) return false;
  if (kind == "fixed") {
    if (!OnlyKeys(fields, {"r", "x"}, error)) return false;
    d.kind = Dut::Kind::kFixed;
    d.r = Get(fields, "r", 0);
    d.x = Get(fields, "x", 0);
  } else if (kind == "series" || kind == "parallel") {
    if (!OnlyKeys(fields, {"r", "l", "c"}, error)) return false;
    d.kind = kind == "series" ? Dut::Kind::kSeries : Dut::Kind::kParallel;
    d.r = Get(fields, "r", 0);
    d.l = Get(fields, "l", 0);
    d.c = Get(fields, "c", 0);
    if (d.r < 0 || d.l < 0 || d.c < 0) {
      if (error) *error = "negative element";
      return false;
    }
  } else if (kind == "antenna") {
    if (!OnlyKeys(fields, {"f0", "r", "q"}, error)) return false;
    d.kind = Dut::Kind::kAntenna;
    d.f0_mhz = Get(fields, "f0", 14.2);
    d.r = Get(fields, "r", 50);
    d.q = Get(fields, "q", 10);
    if (d.f0_mhz <= 0 || d.r <= 0 || d.q <= 0) {
      if (error) *error = "antenna needs f0, r and q above 0";
      return false;
    }
  } else if (kind == "short" || kind == "open") {
    if (!fields.empty()) {
      if (error) *error = kind + " takes no fields";
      return false;
    }
    d.kind = kind == "short" ? Dut::Kind::kShort : Dut::Kind::kOpen;
  } else if (kind == "load") {
    if (!OnlyKeys(fields, {"r"}, error)) return false;
    d.kind = Dut::Kind::kLoad;
    d.r = Get(fields, "r", std::numeric_limits<double>::quiet_NaN());
  } else {
    if (error) *error = "unknown device \"" + kind + "\"";
    return false;
  }
  *out = std::move(d);
  return true;
}

std::complex<double> DutImpedance(const Dut& dut, double f_mhz) {
  double w = kTwoPi * std::max(f_mhz, kLowestMHz) * 1e6;
  switch (dut.kind) {
    case Dut::Kind::kFixed:
      return {dut.r, dut.x};
    case Dut::Kind::kShort:
      return 0;
    case Dut::Kind::kOpen:
      return kOpen;
    case Dut::Kind::kLoad:
      return {std::isnan(dut.r) ? 50.0 : dut.r, 0};
    case Dut::Kind::kSeries: {
      Complex z{dut.r, w * dut.l};
      if (dut.c > 0) z += Complex(0, -1 / (w * dut.c));
      return z;
    }
    case Dut::Kind::kParallel: {
      Complex y{0, w * dut.c};
      if (dut.r > 0) y += 1 / dut.r;
      if (dut.l > 0) y += Complex(0, -1 / (w * dut.l));
      return Reciprocal(y);
    }
    case Dut::Kind::kAntenna: {
      // A series resonator: radiation resistance r at f0, reactance set by Q.
      double w0 = kTwoPi * dut.f0_mhz * 1e6;
      double l = dut.q * dut.r / w0;
      double c = 1 / (w0 * w0 * l);
      return {dut.r, w * l - 1 / (w * c)};
    }
    case Dut::Kind::kTouchstone: {
      const auto& t = dut.table;
      Complex s;
      if (f_mhz <= t.front().f_mhz) {
        s = t.front().s;
      } else if (f_mhz >= t.back().f_mhz) {
        s = t.back().s;
      } else {
        auto hi = std::upper_bound(t.begin(), t.end(), f_mhz,
                                   [](double f, const TablePoint& p) { return f < p.f_mhz; });
        auto lo = hi - 1;
        double span = hi->f_mhz - lo->f_mhz;
        double u = span > 0 ? (f_mhz - lo->f_mhz) / span : 0;
        s = lo->s + (hi->s - lo->s) * u;
      }
      if (s == Complex(1, 0)) return kOpen;
      return dut.ref_ohms * (1.0 + s) / (1.0 - s);
    }
  }
  return kOpen;
}

std::complex<double> ApplyErrorModel(const ErrorModel& em, std::complex<double> z, double f_mhz) {
  // Zraw = G / (1 / (Z + Zs) + Y): the series residual, then the shunt across the port, then a
  // gain with a delay. Written with admittances so that an open device (Z infinite) gives G / Y.
  double w = kTwoPi * std::max(f_mhz, kLowestMHz) * 1e6;
  Complex g = std::polar(em.gain, -w * em.delay_ps * 1e-12);
  Complex zs{em.series_ohms, w * em.series_nh * 1e-9};
  Complex y{em.shunt_kohm > 0 ? 1 / (em.shunt_kohm * 1e3) : 0.0, w * em.shunt_pf * 1e-12};
  Complex total = Reciprocal(IsOpen(z) ? kOpen : z + zs) + y;
  if (total == Complex(0, 0)) return kOpen;
  return g / total;
}

}  // namespace zelsim
