// Texts processed in C++ with exactly the interpreter's results.
//
// str.lower(), upper() and capitalize() use full case mappings ('ß'.upper() is 'SS',
// 'İ'.lower() is 'i̇') and lower() applies the final-sigma rule; the C API only offers
// the one-code-point mappings. The functions here reproduce the str methods for all of
// Unicode, with an ASCII path that never leaves the byte range.
#pragma once

#include <initializer_list>
#include <string_view>

#include "kelvora/names.hpp"

namespace kelvora {

// Full case mappings of one code point, as the str methods apply them. Write 1 to 3
// code points to `out` and return how many. case_lower of U+03A3 gives the medial form;
// the strings' lower() picks the final form by context.
int case_lower(Py_UCS4 c, Py_UCS4* out);
int case_upper(Py_UCS4 c, Py_UCS4* out);
int case_title(Py_UCS4 c, Py_UCS4* out);
bool is_cased(Py_UCS4 c);
bool is_case_ignorable(Py_UCS4 c);
// The Unicode version the compiled-in casing tables were generated from.
const char* casing_unicode_version();

// The code points of a str (or of a TextBuilder), borrowed: the owner must outlive it.
class TextView {
  public:
    TextView() = default;
    // `s` must be a str (or subclass).
    explicit TextView(nb::handle s)
        : kind_(PyUnicode_KIND(s.ptr())),
          ascii_(PyUnicode_IS_ASCII(s.ptr())),
          data_(PyUnicode_DATA(s.ptr())),
          size_(PyUnicode_GET_LENGTH(s.ptr())) {}
    TextView(int kind, const void* data, Py_ssize_t size, bool ascii)
        : kind_(kind), ascii_(ascii), data_(data), size_(size) {}

    Py_ssize_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // True: every code point is below 128. False: some may not be (a slice keeps its
    // parent's answer).
    bool ascii() const { return ascii_; }
    int kind() const { return kind_; }
    // The bytes of an ASCII text stored one byte per code point, else nullptr.
    const unsigned char* ascii_bytes() const {
        return ascii_ && kind_ == PyUnicode_1BYTE_KIND ? static_cast<const unsigned char*>(data_) : nullptr;
    }
    const void* data() const { return data_; }
    Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind_, data_, i); }
    Py_UCS4 back() const { return (*this)[size_ - 1]; }

    TextView slice(Py_ssize_t start, Py_ssize_t end) const {
        return TextView(kind_, static_cast<const char*>(data_) + start * kind_, end - start, ascii_);
    }
    // Index of the first/last `c`, or -1.
    Py_ssize_t find(Py_UCS4 c, Py_ssize_t from = 0) const;
    Py_ssize_t rfind(Py_UCS4 c) const;

    bool operator==(TextView other) const;
    bool operator==(std::string_view ascii) const;
    bool ends_with(std::string_view ascii) const;
    // self.lower() == ascii, without building the lower-case text.
    bool lower_equals(std::string_view ascii) const;
    // self.lower() in (ascii, ...)
    bool lower_in(std::initializer_list<std::string_view> ascii) const {
        for (std::string_view candidate : ascii)
            if (lower_equals(candidate)) return true;
        return false;
    }

    // A new str holding these code points.
    nb::str str() const;

  private:
    int kind_ = PyUnicode_1BYTE_KIND;
    bool ascii_ = true;
    const void* data_ = "";
    Py_ssize_t size_ = 0;
};

// Accumulates code points and makes one str of the narrowest kind at the end. Short
// texts (names) stay in an inline buffer.
class TextBuilder {
  public:
    TextBuilder() = default;
    TextBuilder(const TextBuilder&) = delete;
    TextBuilder& operator=(const TextBuilder&) = delete;
    ~TextBuilder();

    void push(Py_UCS4 c) {
        if (size_ == capacity_) grow(size_ + 1);
        data_[size_++] = c;
        if (c > max_) max_ = c;
    }
    void append(TextView v);
    void append(std::string_view ascii);
    void append_lower(TextView v);        // v.lower()
    void append_upper(TextView v);        // v.upper()
    void append_capitalize(TextView v);   // v.capitalize()
    void append_upper_first(TextView v);  // v[:1].upper() + v[1:]

    Py_ssize_t size() const { return size_; }
    void clear() { size_ = 0, max_ = 0; }
    // The code points so far; valid until the next change.
    TextView view() const { return TextView(PyUnicode_4BYTE_KIND, data_, size_, max_ < 0x80); }
    nb::str str() const;

  private:
    void grow(Py_ssize_t need);

    static constexpr Py_ssize_t inline_capacity = 96;
    Py_UCS4 inline_[inline_capacity];
    Py_UCS4* data_ = inline_;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = inline_capacity;
    Py_UCS4 max_ = 0;
};

// The str methods of the same names on `s` (a str or subclass); the result is a str.
nb::str str_lower(nb::handle s);
nb::str str_upper(nb::handle s);
nb::str str_capitalize(nb::handle s);
// s[:1].upper() + s[1:]
nb::str str_upper_first(nb::handle s);

// Calls each(piece, index) for every piece of v.split(sep), empty pieces included.
template <class F>
void split_each(TextView v, Py_UCS4 sep, F&& each) {
    Py_ssize_t start = 0, index = 0;
    for (;;) {
        Py_ssize_t at = v.find(sep, start);
        if (at < 0) break;
        each(v.slice(start, at), index++);
        start = at + 1;
    }
    each(v.slice(start, v.size()), index);
}

}  // namespace kelvora
