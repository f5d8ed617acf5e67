// Where in a module's source native code last called into Python, so that a
// traceback names the line that raised rather than the function's declaration.
//
// A Site is made at compile time from the caller's std::source_location: a
// hash of the file and the line, packed in one word. Literal names ("x"_n),
// co_await, co_yield, the raise functions and the runtime's other calls into
// Python record theirs in a per-thread slot as they run (one store of a
// constant). The error boundary of a native
// function or coroutine reads the slot: when it holds a site of the function's
// own file, the traceback entry names that line. Sites inside the runtime
// itself (its headers and sources) are never recorded, so a helper such as
// logger() leaves the line of the module's own call in place.
#pragma once

#include <cstdint>
#include <source_location>
#include <string_view>

namespace kelvora {

namespace detail {

inline constexpr std::uint64_t site_line_bits = 24;
inline constexpr std::uint64_t site_line_mask = (std::uint64_t(1) << site_line_bits) - 1;

// FNV-1a of a file name, with room for the line in its low bits.
constexpr std::uint64_t site_file_hash(std::string_view file) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (char c : file) h = (h ^ std::uint64_t(static_cast<unsigned char>(c))) * 0x100000001b3ull;
    return (h & ~site_line_mask) | (std::uint64_t(1) << site_line_bits);  // never zero
}

// The runtime's own directory (native/), from where this header sits.
consteval std::string_view runtime_directory() {
    std::string_view self = std::source_location::current().file_name();
    constexpr std::string_view tail = "include/kelvora/site.hpp";
    return self.ends_with(tail) ? self.substr(0, self.size() - tail.size()) : std::string_view{};
}

consteval std::uint64_t pack_site(std::source_location where) {
    std::string_view file = where.file_name();
    std::string_view runtime = runtime_directory();
    if (!runtime.empty() && file.starts_with(runtime)) return 0;  // the runtime's own code
    return site_file_hash(file) | (std::uint64_t(where.line()) & site_line_mask);
}

// The last site recorded on this thread; 0: none since the boundary began.
// Each module's copy of the runtime has its own.
inline constinit thread_local std::uint64_t current_site [[gnu::tls_model("initial-exec")]] = 0;

}  // namespace detail

// A place in the source, taken from the caller: a parameter `Site where = {}`
// is the line of the call.
struct Site {
    std::uint64_t packed = 0;  // 0: not recorded (the runtime's own code)
    consteval Site(std::source_location where = std::source_location::current()) : packed(detail::pack_site(where)) {}

    // Makes this the last site of the thread (nothing for the runtime's own).
    void record() const noexcept {
        if (packed) detail::current_site = packed;
    }
};

// At a native boundary: the site recorded so far is put aside and the slot
// cleared (errors raised before the body records anything name the
// declaration); when the boundary is left the outer body's site is back, so a
// nested native call that returned leaves the caller's line in place.
class SiteScope {
  public:
    SiteScope() noexcept : outer_(detail::current_site) { detail::current_site = 0; }
    ~SiteScope() { detail::current_site = outer_; }
    SiteScope(const SiteScope&) = delete;
    SiteScope& operator=(const SiteScope&) = delete;

  private:
    std::uint64_t outer_;
};

// The line a traceback entry for code of `file` names: the recorded site when
// it lies in that file, else `fallback` (the declaration).
int raising_line(const char* file, int fallback, std::uint64_t site = detail::current_site) noexcept;

}  // namespace kelvora
