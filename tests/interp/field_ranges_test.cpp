// Every numeric kind's range met by compiled statements: COMPUTE, TOTAL, SET of a constant and SET from a packed or
// an alpha field, each with results just inside and just outside the field's range, the OVERFLOW target armed and
// not; the display conversion of each stored value reads it back. Then random COMPUTE results of every pair of
// kinds against an exact rational model.
#include <random>

#include "../compiler/sc_stmt_util.h"
#include "../types/pd_test_util.h"
#include "foundation/end_codes.h"

namespace kivo::test {
namespace {

using bytes = std::vector<uint8_t>;
using pdt::stress_cases;

// The work fields: one of each numeric kind, with display masks that show the whole stored range; SRC and TXT are
// the sources of the moves, ARM and OPS the switches of a run.
constexpr const char* kFields = R"(APPLICATION TST 01
WORK XS1 B2S   area=4 mask="-999"
WORK XU1 B2    area=4 mask="999"
WORK XS2 B4S   area=4 mask="-99999"
WORK XU2 B4    area=4 mask="99999" init="4321"
WORK XS4 B9S   area=4 mask="-9999999999"
WORK XU4 B9    area=4 mask="9999999999"
WORK XD  B3.1  area=4 mask="9999.9"
WORK PS  P5.2S area=4 mask="-99999.99" init="-12.5"
WORK PU  P5.2  area=4 mask="99999.99"
WORK VP  V     area=4 mask="-999999999999999.9999"
WORK SRC P16.2S area=4
WORK TXT A30   area=4
WORK ARM B2S   area=4
WORK OPS B2S   area=4
)";

// A decimal number: v / 10^s.
struct dec {
  __int128 v;
  int s;
};

__int128 p10(int n) {
  __int128 p = 1;
  while (n-- > 0) p *= 10;
  return p;
}

dec parse(const std::string& t) {
  dec d{0, 0};
  bool neg = false, point = false;
  for (char c : t) {
    if (c == '-') neg = true;
    if (c == '.') point = true;
    if (c >= '0' && c <= '9') d.v = d.v * 10 + (c - '0'), d.s += point;
  }
  return neg ? dec{-d.v, d.s} : d;
}

std::string text(dec d) {
  std::string t;
  unsigned __int128 u = d.v < 0 ? -static_cast<unsigned __int128>(d.v) : static_cast<unsigned __int128>(d.v);
  for (int i = 0; u || i <= d.s; ++i, u /= 10) t.insert(t.begin(), static_cast<char>('0' + static_cast<int>(u % 10)));
  if (d.s) t.insert(t.end() - d.s, '.');
  return d.v < 0 ? "-" + t : t;
}

// a at scale s (s not below a's).
__int128 at(dec a, int s) { return a.v * p10(s - a.s); }
dec plus(dec a, dec b) {
  const int s = std::max(a.s, b.s);
  return {at(a, s) + at(b, s), s};
}

// A numeric kind: its field, data type, stored length and scale, sign and range.
struct kind_def {
  const char* name;
  uint8_t type;
  uint16_t len;
  int scale;
  bool is_signed;
  const char *lo, *hi, *ulp;
};
const kind_def kKinds[] = {
    {"XS1", 5, 1, 0, true, "-128", "127", "1"},
    {"XU1", 5, 1, 0, false, "0", "255", "1"},
    {"XS2", 5, 2, 0, true, "-32768", "32767", "1"},
    {"XU2", 5, 2, 0, false, "0", "65535", "1"},
    {"XS4", 5, 4, 0, true, "-2147483648", "2147483647", "1"},
    {"XU4", 5, 4, 0, false, "0", "4294967295", "1"},
    {"XD", 5, 2, 1, false, "0", "6553.5", "0.1"},
    {"PS", 8, 4, 2, true, "-99999.99", "99999.99", "0.01"},
    {"PU", 8, 4, 2, false, "0", "99999.99", "0.01"},
    {"VP", 12, 9, 0, true, "-999999999999999", "999999999999999", "1"},
};
const kind_def& kind_of(const std::string& name) {
  for (const kind_def& k : kKinds)
    if (name == k.name) return k;
  return kKinds[0];
}

int cmp(dec a, dec b) {
  const int s = std::max(a.s, b.s);
  return at(a, s) < at(b, s) ? -1 : at(a, s) > at(b, s);
}
bool same(dec a, dec b) { return cmp(a, b) == 0; }
bool in_range(const kind_def& k, dec x) { return cmp(x, parse(k.lo)) >= 0 && cmp(x, parse(k.hi)) <= 0; }

// The stored bytes of x (at the field's scale, a variable-point value at its own) as the test lays them out.
bytes encode(const kind_def& k, dec x) {
  bytes b(k.len, 0);
  const int s = k.type == 12 ? x.s : k.scale;
  const __int128 v = at(x, s);
  if (k.type == 5) {
    for (int i = 0; i < k.len; ++i) b[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
    return b;
  }
  const int n = k.type == 12 ? k.len - 1 : k.len;
  unsigned __int128 u = v < 0 ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
  b[n - 1] = static_cast<uint8_t>(static_cast<int>(u % 10) << 4 | (v < 0 ? pd_neg_sign() : pd_pos_sign()));
  u /= 10;
  for (int i = n - 2; i >= 0; --i, u /= 100) b[i] = static_cast<uint8_t>(static_cast<int>(u % 100 / 10) << 4 | u % 10);
  if (k.type == 12) b[n] = static_cast<uint8_t>(s);
  return b;
}

dec decode(const kind_def& k, const uint8_t* p) {
  if (k.type == 5) {
    uint64_t u = 0;
    for (int i = k.len - 1; i >= 0; --i) u = u << 8 | p[i];
    const int bits = 8 * k.len;
    const __int128 v = k.is_signed && (u >> (bits - 1)) ? static_cast<__int128>(u) - (__int128{1} << bits) : u;
    return {v, k.scale};
  }
  const int n = k.type == 12 ? k.len - 1 : k.len;
  __int128 v = 0;
  for (int i = 0; i < n - 1; ++i) v = v * 100 + (p[i] >> 4) * 10 + (p[i] & 0xF);
  v = v * 10 + (p[n - 1] >> 4);
  return {(p[n - 1] & 0xF) == pd_neg_sign() ? -v : v, k.type == 12 ? p[n] : k.scale};
}

class FieldRanges : public ScFixture {
 protected:
  void SetUp() override {
    ScFixture::SetUp();
    build(kFields);
    for (const char* f : {"XS1", "XU1", "XS2", "XU2", "XS4", "XU4", "XD", "PS", "PU", "VP", "SRC", "TXT", "ARM", "OPS"})
      located_.push_back(f);
  }
  // Compiles one event point of each text; the fields' ELEMENT records must match the table.
  void compile_all(const std::vector<std::string>& texts) {
    std::vector<uint8_t> eps;
    for (const std::string& t : texts) stmts(++ep_, t), eps.push_back(ep_);
    ASSERT_EQ(compile(eps), 1) << (errs_.empty() ? "" : errs_[0].msg);
    for (const kind_def& k : kKinds) {
      const uint8_t* e = elem_[k.name].data();
      ASSERT_TRUE(e[ELEM_TYPE] == k.type && ld_le16(e, ELEM_SIZE) == k.len && (e[ELEM_SIGNED] == '1') == k.is_signed &&
                  (k.type == 12 || e[ELEM_LO] == k.scale))
          << k.name;
    }
    run(0);  // binds zeroed areas that the runs below share
  }
  std::string text_of(const char* f, size_t n) { return std::string(reinterpret_cast<char*>(field(f)), n); }
};

// One row of the table: the field, its value before, the statements that set up the source, the statement under
// test and the value it gives (empty: an overflow).
struct row {
  std::string x, before, setup, stmt, want;
};

std::vector<row> edge_rows() {
  std::vector<row> rows;
  for (const kind_def& k : kKinds) {
    const dec ulp = parse(k.ulp), lo = parse(k.lo), hi = parse(k.hi), minus{-ulp.v, ulp.s};
    const std::string x = k.name, u = text(ulp), mu = text(minus);
    // Target, value before, step from it, and whether the target is inside.
    const struct {
      dec target, before;
      bool up, inside;
    } edges[] = {{hi, plus(hi, minus), true, true},
                 {plus(hi, ulp), hi, true, false},
                 {lo, plus(lo, ulp), false, true},
                 {plus(lo, minus), lo, false, false}};
    for (const auto& e : edges) {
      const std::string t = text(e.target), b = text(e.before), want = e.inside ? t : "";
      rows.push_back({x, b, "", "COMPUTE " + x + " " + u + (e.up ? " +" : " -"), want});
      rows.push_back({x, b, "", "TOTAL " + x + " " + (e.up ? u : mu) + " +", want});
      rows.push_back({x, b, "", "SET " + x + " " + t, want});
      rows.push_back({x, b, "SET SRC " + t, "SET " + x + " =SRC", want});
      rows.push_back({x, b, "SET TXT " + t, "SET " + x + " =TXT", want});
    }
  }
  // Unsigned fields take their whole width and no negatives; a variable-point field takes the constants that
  // fit it; RESTORE brings the initial value in through the field's range.
  const row more[] = {
      {"XU2", "1", "", "COMPUTE XU2 7 -", ""},
      {"XU1", "77", "", "COMPUTE XU1 50 +", "127"},
      {"XU1", "77", "", "COMPUTE XU1 51 +", "128"},
      {"XU1", "77", "", "TOTAL XU1 =XU1 +", "154"},
      {"XU4", "999999999", "", "COMPUTE XU4 3 *", "2999999997"},
      {"XU4", "4294967295", "", "COMPUTE XU4 2 /", "2147483648"},
      {"XU1", "9", "SET XS1 -5", "SET XU1 =XS1", ""},
      {"XS1", "9", "SET XU1 200", "SET XS1 =XU1", ""},
      {"XS1", "9", "SET XU1 127", "SET XS1 =XU1", "127"},
      {"PU", "1.5", "", "COMPUTE PU 2 -", ""},
      {"PU", "1.5", "SET VP 1.504", "COMPUTE PU =VP -", "0"},  // -0.004 rounds to zero: no sign
      {"XS1", "99", "", "COMPUTE XS1 1 +", "100"},
      {"VP", "7", "", "SET VP 5", "5"},
      {"VP", "7", "", "SET VP 0", "0"},
      {"VP", "7", "", "SET VP -12.345", "-12.345"},
      {"VP", "7", "", "COMPUTE VP 99999999999999.95 +", "100000000000007"},
      {"XU2", "7", "", "RESTORE XU2", "4321"},
      {"PS", "7", "", "RESTORE PS", "-12.5"},
      {"VP", "7", "", "RESTORE VP", "0"},
  };
  rows.insert(rows.end(), std::begin(more), std::end(more));
  return rows;
}

TEST_F(FieldRanges, EveryKindInsideAndOutsideItsRange) {
  const std::vector<row> rows = edge_rows();
  std::vector<std::string> texts;
  for (const row& r : rows)
    texts.push_back("SET TOTAL 0; " + r.setup + "; SET " + r.x + " " + r.before + "; IF ARM 1; T:OVERFLOW OV; " +
                    r.stmt + "; SET TOTAL 1; GOTO GO; LABEL OV; SET TOTAL 2; LABEL GO");
  for (const kind_def& k : kKinds) texts.push_back(std::string("CNVT TXT =") + k.name);
  compile_all(texts);
  const auto shown = [&](const kind_def& k) {
    return run(rows.size() + static_cast<size_t>(&k - kKinds), false) == PI_END_NORMAL ? parse(text_of("TXT", 30))
                                                                                       : dec{-1, 99};
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const row& r = rows[i];
    const kind_def& k = kind_of(r.x);
    const dec want = parse(r.want.empty() ? r.before : r.want);
    for (uint8_t arm : {1, 0}) {
      SCOPED_TRACE(r.stmt + " from " + r.before + (arm ? " armed" : " unarmed"));
      field("ARM")[0] = arm;
      captured_errors().clear();
      const int code = run(i, false);
      if (r.want.empty() && !arm) {  // the run-time error
        EXPECT_EQ(code, 4);
        ASSERT_EQ(captured_errors().size(), 1u);
        EXPECT_EQ(captured_errors()[0].rfind("numeric overflow /", 0), 0u) << captured_errors()[0];
        captured_errors().clear();
        EXPECT_TRUE(total_is("0"));
      } else {
        EXPECT_EQ(code, PI_END_NORMAL);
        EXPECT_TRUE(total_is(r.want.empty() ? "2" : "1"));
      }
      const dec got = decode(k, field(r.x));
      EXPECT_TRUE(same(got, want)) << text(got) << " for " << text(want);
      if (k.type != 12) {
        EXPECT_TRUE(encode(k, want) == bytes(field(r.x), field(r.x) + k.len));
      }
      const dec seen = shown(k);
      EXPECT_TRUE(same(seen, want)) << "shown " << text(seen);
    }
  }
}

// Comparisons read each field with its sign and width, and meet constants past the declared digits by value.
TEST_F(FieldRanges, ComparisonsReadTheStoredRange) {
  for (auto [text, total] : std::initializer_list<std::pair<const char*, const char*>>{
           {"SET XU1 200; IF XU1 127 GT; T:SET TOTAL 1", "1"},
           {"SET XU1 200; SET XS1 -5; IF XU1 =XS1 GT; T:SET TOTAL 2", "2"},
           {"SET XU4 4294967295; IF XU4 4294967295; T:SET TOTAL 3", "3"},
           {"SET XU2 65535; IF XU2 -1 GT; T:SET TOTAL 4", "4"},
           {"SET XU2 65535; SET XS2 -1; IF XU2 =XS2; T:SET TOTAL 5; F:SET TOTAL 6", "6"},
           {"SET PU 0.5; SET VP -0.5; IF PU =VP GT; T:SET TOTAL 7", "7"},
       })
    expect_total(text, total);
}

// ---- random COMPUTE results against an exact rational model ----

// An exact rational n / d, d > 0.
struct rational {
  __int128 n, d;
};

rational exact(dec a, dec b, char op) {
  const int s = std::max(a.s, b.s);
  switch (op) {
    case '+': return {at(a, s) + at(b, s), p10(s)};
    case '-': return {at(a, s) - at(b, s), p10(s)};
    case '*': return {a.v * b.v, p10(a.s + b.s)};
    default: {  // b.v != 0
      __int128 n = a.v * p10(b.s), d = b.v * p10(a.s);
      return d < 0 ? rational{-n, -d} : rational{n, d};
    }
  }
}

// r at scale s, rounded half away from zero.
__int128 round_at(rational r, int s) {
  const __int128 n = r.n * p10(s), q = n / r.d, rem = n % r.d;
  const __int128 twice = 2 * (rem < 0 ? -rem : rem);
  return twice >= r.d ? q + (n < 0 ? -1 : 1) : q;
}

// The expected result: the value stored, or none for an overflow. A variable-point field keeps the operands'
// larger scale, or fewer decimals where its 15 digits are too few.
bool model(const kind_def& k, dec a, dec b, char op, dec* out) {
  if (op == '/' && b.v == 0) return false;
  const rational r = exact(a, b, op);
  if (k.type != 12) {
    *out = {round_at(r, k.scale), k.scale};
    return in_range(k, *out);
  }
  for (int s = std::max(a.s, b.s); s >= 0; --s) {
    *out = {round_at(r, s), s};
    if ((out->v < 0 ? -out->v : out->v) < p10(15)) return true;
  }
  return false;
}

// A random value of kind k at the scale it is read with: edges, zero and ulps now and then, else digits of a
// random count (a variable-point value with up to 6 decimals).
dec random_value(const kind_def& k, std::mt19937_64& g) {
  const auto scaled = [&k](dec x) { return dec{at(x, k.scale), k.scale}; };
  const dec ulp = parse(k.ulp);
  switch (g() % 8) {
    case 0: return scaled(parse(k.lo));
    case 1: return scaled(parse(k.hi));
    case 2: return {0, k.scale};
    case 3: return scaled(g() % 2 || !k.is_signed ? ulp : dec{-ulp.v, ulp.s});
    default: break;
  }
  const int most = k.type == 12 ? 15 : k.type == 8 ? 2 * k.len - 1 : 10;
  const int s = k.type == 12 ? static_cast<int>(g() % 7) : k.scale, digits = 1 + static_cast<int>(g() % most);
  dec x{static_cast<__int128>(g() % static_cast<uint64_t>(p10(digits))), s};
  if (k.is_signed && g() % 2) x.v = -x.v;
  while (!in_range(k, x)) x.v /= 10;
  return x;
}

TEST_F(FieldRanges, RandomComputeAgreesWithExactModel) {
  std::vector<std::string> texts;
  for (const kind_def& x : kKinds)
    for (const kind_def& y : kKinds) {
      std::string t = "SET TOTAL 0; OVERFLOW OV";
      for (int op = 0; op < 4; ++op)
        t += "; IF OPS " + std::to_string(op + 1) + "; T:COMPUTE " + x.name + " =" + y.name + " " + "+-*/"[op];
      texts.push_back(t + "; SET TOTAL 1; GOTO GO; LABEL OV; SET TOTAL 2; LABEL GO");
    }
  compile_all(texts);
  std::mt19937_64 g(69);
  const int n = stress_cases(100000);
  int stored = 0;
  for (int i = 0; i < n; ++i) {
    const size_t xi = g() % std::size(kKinds), yi = g() % std::size(kKinds), op = g() % 4;
    const kind_def &x = kKinds[xi], &y = kKinds[yi];
    const dec a = random_value(x, g), b = xi == yi ? a : random_value(y, g);
    const bytes before = encode(x, a);
    memcpy(field(x.name), before.data(), x.len);
    if (xi != yi) memcpy(field(y.name), encode(y, b).data(), y.len);
    field("OPS")[0] = static_cast<uint8_t>(op + 1);
    ASSERT_EQ(run(xi * std::size(kKinds) + yi, false), PI_END_NORMAL);
    dec want;
    const bool fits = model(x, a, b, "+-*/"[op], &want);
    const bytes got(field(x.name), field(x.name) + x.len);
    ASSERT_TRUE(total_is(fits ? "1" : "2") && got == (fits ? encode(x, want) : before))
        << x.name << " " << text(a) << " "
        << "+-*/"[op] << " " << y.name << " " << text(b) << ": " << (fits ? text(want) : "overflow") << ", got "
        << text(decode(x, got.data()));
    stored += fits;
  }
  EXPECT_GT(stored, n / 4);  // the model is not all overflows
}

}  // namespace
}  // namespace kivo::test
