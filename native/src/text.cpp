// Case mappings and text building with the interpreter's exact results.
#include "kelvora/text.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kelvora {

namespace {

struct SpecialCase {
    Py_UCS4 code;
    int size;
    Py_UCS4 mapped[3];
};

struct CodeRange {
    Py_UCS4 first, last;
};

#include "text_casing.inc"

template <size_t N>
const SpecialCase* find_special(const SpecialCase (&table)[N], Py_UCS4 c) {
    if (c < table[0].code || c > table[N - 1].code) return nullptr;
    const SpecialCase* it =
        std::lower_bound(table, table + N, c, [](const SpecialCase& e, Py_UCS4 v) { return e.code < v; });
    return it != table + N && it->code == c ? it : nullptr;
}

template <size_t N>
int mapped(const SpecialCase (&table)[N], Py_UCS4 c, Py_UCS4 simple, Py_UCS4* out) {
    if (const SpecialCase* s = find_special(table, c)) {
        for (int i = 0; i < s->size; ++i) out[i] = s->mapped[i];
        return s->size;
    }
    out[0] = simple;
    return 1;
}

// Branch-free and as wide as the character given, so loops over ASCII bytes vectorise.
template <class C>
constexpr C ascii_lower(C c) {
    return C(c + (C(C(c - 'A') < 26) << 5));
}
template <class C>
constexpr C ascii_upper(C c) {
    return C(c - (C(C(c - 'a') < 26) << 5));
}

constexpr Py_UCS4 capital_sigma = 0x3A3, final_sigma = 0x3C2, medial_sigma = 0x3C3;

// Capital sigma lower-cases to the final form after a cased letter (case-ignorable
// characters between are skipped) when no cased letter follows in the same way.
bool is_final_sigma(TextView v, Py_ssize_t i) {
    Py_ssize_t j = i - 1;
    Py_UCS4 c = 0;
    for (; j >= 0; --j) {
        c = v[j];
        if (!is_case_ignorable(c)) break;
    }
    bool final = j >= 0 && is_cased(c);
    if (final && i + 1 < v.size()) {
        for (j = i + 1; j < v.size(); ++j) {
            c = v[j];
            if (!is_case_ignorable(c)) break;
        }
        final = j == v.size() || !is_cased(c);
    }
    return final;
}

// Lower-case of v[i] in the context of v.
int lower_at(TextView v, Py_ssize_t i, Py_UCS4* out) {
    Py_UCS4 c = v[i];
    if (c == capital_sigma) {
        out[0] = is_final_sigma(v, i) ? final_sigma : medial_sigma;
        return 1;
    }
    return case_lower(c, out);
}

// A new ASCII str of v's length, each character f(index, source byte); v.ascii_bytes()
// must be set.
template <class F>
nb::str map_ascii(TextView v, F&& f) {
    PyObject* out = PyUnicode_New(v.size(), 127);
    if (!out) raise_pending();
    const unsigned char* src = v.ascii_bytes();
    auto* dst = static_cast<unsigned char*>(PyUnicode_DATA(out));
    for (Py_ssize_t i = 0; i < v.size(); ++i) dst[i] = static_cast<unsigned char>(f(i, src[i]));
    return nb::steal<nb::str>(out);
}

}  // namespace

int case_lower(Py_UCS4 c, Py_UCS4* out) {
    if (c < 0x80) {
        out[0] = ascii_lower(c);
        return 1;
    }
    return mapped(special_lower, c, Py_UNICODE_TOLOWER(c), out);
}

int case_upper(Py_UCS4 c, Py_UCS4* out) {
    if (c < 0x80) {
        out[0] = ascii_upper(c);
        return 1;
    }
    return mapped(special_upper, c, Py_UNICODE_TOUPPER(c), out);
}

int case_title(Py_UCS4 c, Py_UCS4* out) {
    if (c < 0x80) {
        out[0] = ascii_upper(c);
        return 1;
    }
    return mapped(special_title, c, Py_UNICODE_TOTITLE(c), out);
}

bool is_cased(Py_UCS4 c) {
    if (c < 0x80) return (c | 0x20) - 'a' < 26u;
    // Cased is Lowercase or Uppercase or general category Lt: the three flags the
    // interpreter's database exposes.
    return Py_UNICODE_ISLOWER(c) || Py_UNICODE_ISUPPER(c) || Py_UNICODE_ISTITLE(c);
}

bool is_case_ignorable(Py_UCS4 c) {
    const CodeRange* end = std::end(case_ignorable_ranges);
    const CodeRange* it = std::upper_bound(std::begin(case_ignorable_ranges), end, c,
                                           [](Py_UCS4 v, const CodeRange& r) { return v < r.first; });
    return it != std::begin(case_ignorable_ranges) && c <= (it - 1)->last;
}

const char* casing_unicode_version() {
    return casing_unicode_version_text;
}

// ---- TextView ----------------------------------------------------------------------

Py_ssize_t TextView::find(Py_UCS4 c, Py_ssize_t from) const {
    if (kind_ == PyUnicode_1BYTE_KIND) {
        if (c > 0xFF || from >= size_) return -1;
        const auto* p = static_cast<const unsigned char*>(data_);
        const void* hit = std::memchr(p + from, int(c), size_t(size_ - from));
        return hit ? static_cast<const unsigned char*>(hit) - p : -1;
    }
    for (Py_ssize_t i = from; i < size_; ++i)
        if ((*this)[i] == c) return i;
    return -1;
}

Py_ssize_t TextView::rfind(Py_UCS4 c) const {
    for (Py_ssize_t i = size_ - 1; i >= 0; --i)
        if ((*this)[i] == c) return i;
    return -1;
}

bool TextView::operator==(TextView other) const {
    if (size_ != other.size_) return false;
    if (kind_ == other.kind_) return std::memcmp(data_, other.data_, size_t(size_) * kind_) == 0;
    for (Py_ssize_t i = 0; i < size_; ++i)
        if ((*this)[i] != other[i]) return false;
    return true;
}

bool TextView::operator==(std::string_view ascii) const {
    if (size_ != Py_ssize_t(ascii.size())) return false;
    for (Py_ssize_t i = 0; i < size_; ++i)
        if ((*this)[i] != static_cast<unsigned char>(ascii[size_t(i)])) return false;
    return true;
}

bool TextView::ends_with(std::string_view ascii) const {
    Py_ssize_t n = Py_ssize_t(ascii.size());
    return n <= size_ && slice(size_ - n, size_) == ascii;
}

bool TextView::lower_equals(std::string_view ascii) const {
    Py_ssize_t n = Py_ssize_t(ascii.size());
    if (const unsigned char* p = ascii_bytes()) {
        if (size_ != n) return false;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (ascii_lower(p[i]) != static_cast<unsigned char>(ascii[size_t(i)])) return false;
        return true;
    }
    // Full mappings never shorten a text, so a longer one cannot match.
    if (size_ > n) return false;
    Py_ssize_t at = 0;
    Py_UCS4 buf[3];
    for (Py_ssize_t i = 0; i < size_; ++i) {
        int k = lower_at(*this, i, buf);
        for (int j = 0; j < k; ++j)
            if (at >= n || buf[j] != static_cast<unsigned char>(ascii[size_t(at++)])) return false;
    }
    return at == n;
}

nb::str TextView::str() const {
    PyObject* s = PyUnicode_FromKindAndData(kind_, data_, size_);
    if (!s) raise_pending();
    return nb::steal<nb::str>(s);
}

// ---- TextBuilder -------------------------------------------------------------------

TextBuilder::~TextBuilder() {
    if (data_ != inline_) std::free(data_);
}

namespace {

// The most code points whose bytes a size_t still counts: on 32-bit targets a long enough
// text would otherwise wrap the byte count and get a buffer far smaller than it writes.
constexpr Py_ssize_t most_code_points = PY_SSIZE_T_MAX / Py_ssize_t(sizeof(Py_UCS4));

// size + extra, saturated past most_code_points so that grow() refuses it instead of overflowing.
Py_ssize_t needed(Py_ssize_t size, Py_ssize_t extra) {
    return extra > most_code_points - size ? most_code_points + 1 : size + extra;
}

}  // namespace

void TextBuilder::grow(Py_ssize_t need) {
    if (need > most_code_points) throw std::bad_alloc();
    Py_ssize_t cap = capacity_ > most_code_points / 2 ? most_code_points : std::max(need, capacity_ * 2);
    void* p = data_ == inline_ ? std::malloc(size_t(cap) * sizeof(Py_UCS4))
                               : std::realloc(data_, size_t(cap) * sizeof(Py_UCS4));
    if (!p) throw std::bad_alloc();
    if (data_ == inline_) std::memcpy(p, inline_, size_t(size_) * sizeof(Py_UCS4));
    data_ = static_cast<Py_UCS4*>(p);
    capacity_ = cap;
}

void TextBuilder::append(TextView v) {
    if (v.size() > capacity_ - size_) grow(needed(size_, v.size()));
    for (Py_ssize_t i = 0; i < v.size(); ++i) push(v[i]);
}

void TextBuilder::append(std::string_view ascii) {
    for (char c : ascii) push(static_cast<unsigned char>(c));
}

void TextBuilder::append_lower(TextView v) {
    if (v.size() > capacity_ - size_) grow(needed(size_, v.size()));
    if (const unsigned char* p = v.ascii_bytes()) {
        for (Py_ssize_t i = 0; i < v.size(); ++i) push(ascii_lower(p[i]));
        return;
    }
    Py_UCS4 buf[3];
    for (Py_ssize_t i = 0; i < v.size(); ++i) {
        int k = lower_at(v, i, buf);
        for (int j = 0; j < k; ++j) push(buf[j]);
    }
}

void TextBuilder::append_upper(TextView v) {
    if (v.size() > capacity_ - size_) grow(needed(size_, v.size()));
    if (const unsigned char* p = v.ascii_bytes()) {
        for (Py_ssize_t i = 0; i < v.size(); ++i) push(ascii_upper(p[i]));
        return;
    }
    Py_UCS4 buf[3];
    for (Py_ssize_t i = 0; i < v.size(); ++i) {
        int k = case_upper(v[i], buf);
        for (int j = 0; j < k; ++j) push(buf[j]);
    }
}

void TextBuilder::append_capitalize(TextView v) {
    if (v.empty()) return;
    if (v.size() > capacity_ - size_) grow(needed(size_, v.size()));
    if (const unsigned char* p = v.ascii_bytes()) {
        push(ascii_upper(p[0]));
        for (Py_ssize_t i = 1; i < v.size(); ++i) push(ascii_lower(p[i]));
        return;
    }
    Py_UCS4 buf[3];
    int k = case_title(v[0], buf);
    for (int j = 0; j < k; ++j) push(buf[j]);
    // The rest is lower-cased in the context of the whole of v, first character included.
    for (Py_ssize_t i = 1; i < v.size(); ++i) {
        k = lower_at(v, i, buf);
        for (int j = 0; j < k; ++j) push(buf[j]);
    }
}

void TextBuilder::append_upper_first(TextView v) {
    if (v.empty()) return;
    if (v.size() > capacity_ - size_) grow(needed(size_, v.size()));
    Py_UCS4 buf[3];
    int k = case_upper(v[0], buf);
    for (int j = 0; j < k; ++j) push(buf[j]);
    for (Py_ssize_t i = 1; i < v.size(); ++i) push(v[i]);
}

nb::str TextBuilder::str() const {
    PyObject* s = PyUnicode_New(size_, max_);
    if (!s) raise_pending();
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: {
            auto* d = PyUnicode_1BYTE_DATA(s);
            for (Py_ssize_t i = 0; i < size_; ++i) d[i] = Py_UCS1(data_[i]);
            break;
        }
        case PyUnicode_2BYTE_KIND: {
            auto* d = PyUnicode_2BYTE_DATA(s);
            for (Py_ssize_t i = 0; i < size_; ++i) d[i] = Py_UCS2(data_[i]);
            break;
        }
        default:
            std::memcpy(PyUnicode_4BYTE_DATA(s), data_, size_t(size_) * sizeof(Py_UCS4));
    }
    return nb::steal<nb::str>(s);
}

// ---- whole strings ---------------------------------------------------------------

nb::str str_lower(nb::handle s) {
    TextView v(s);
    if (v.ascii_bytes()) return map_ascii(v, [](Py_ssize_t, unsigned char c) { return ascii_lower(c); });
    TextBuilder b;
    b.append_lower(v);
    return b.str();
}

nb::str str_upper(nb::handle s) {
    TextView v(s);
    if (v.ascii_bytes()) return map_ascii(v, [](Py_ssize_t, unsigned char c) { return ascii_upper(c); });
    TextBuilder b;
    b.append_upper(v);
    return b.str();
}

nb::str str_capitalize(nb::handle s) {
    TextView v(s);
    if (v.ascii_bytes())
        return map_ascii(v, [](Py_ssize_t i, Py_UCS4 c) { return i ? ascii_lower(c) : ascii_upper(c); });
    TextBuilder b;
    b.append_capitalize(v);
    return b.str();
}

nb::str str_upper_first(nb::handle s) {
    TextView v(s);
    if (v.ascii_bytes()) return map_ascii(v, [](Py_ssize_t i, Py_UCS4 c) { return i ? c : ascii_upper(c); });
    TextBuilder b;
    b.append_upper_first(v);
    return b.str();
}

nb::object str_of(nb::handle value) {
    if (PyUnicode_Check(value.ptr())) return nb::borrow(value);
    PyObject* s = PyObject_Str(value.ptr());
    if (!s) raise_pending();
    return nb::steal(s);
}

}  // namespace kelvora
