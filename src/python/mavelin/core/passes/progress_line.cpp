// The progress line of a fingerprint pass: one line on standard error, redrawn in place.
#include "python/mavelin/core/passes/progress_line.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <string>

namespace mavelin::passes {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRedraw = std::chrono::milliseconds(250);  // four redraws a second at most
constexpr double kRateAfter = 1.0;  // seconds of work before a rate means anything

// "1,234,567"
std::string grouped(uint64_t n) {
    std::string digits = std::to_string(n);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
        out.push_back(digits[i]);
    }
    return out;
}

// "812 B", "3.4 MB", "1.21 GB" (decimal units, three significant digits)
std::string bytes_text(double n) {
    static const char* const kUnits[] = {"B", "kB", "MB", "GB", "TB", "PB"};
    size_t unit = 0;
    while (n >= 1000.0 && unit + 1 < std::size(kUnits)) {
        n /= 1000.0;
        ++unit;
    }
    char buf[32];
    if (unit == 0)
        std::snprintf(buf, sizeof buf, "%.0f B", n);
    else
        std::snprintf(buf, sizeof buf,
                      n < 10    ? "%.2f %s"
                      : n < 100 ? "%.1f %s"
                                : "%.0f %s",
                      n, kUnits[unit]);
    return buf;
}

// "0:07", "12:05", "3:02:41"
std::string duration_text(double seconds) {
    const uint64_t s = static_cast<uint64_t>(std::llround(std::clamp(seconds, 0.0, 1e12)));
    char buf[48];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, s / 3600,
                      s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%" PRIu64 ":%02" PRIu64, s / 60, s % 60);
    return buf;
}

// Columns of the terminal behind `stream`, 0 when unknown.
int columns(PyObject* stream) {
    py::Ref fd_obj = py::Ref::steal(PyObject_CallMethod(stream, "fileno", nullptr));
    if (!fd_obj) {
        PyErr_Clear();
        return 0;
    }
    const long fd = PyLong_AsLong(fd_obj.get());
    if (fd < 0) {
        PyErr_Clear();
        return 0;
    }
    struct winsize ws {};
    if (::ioctl(static_cast<int>(fd), TIOCGWINSZ, &ws) != 0) return 0;
    return ws.ws_col;
}

}  // namespace

bool ProgressLine::terminal() noexcept {
    PyObject* stream = PySys_GetObject("stderr");  // borrowed
    if (!stream || stream == Py_None) return false;
    py::Ref answer = py::Ref::steal(PyObject_CallMethod(stream, "isatty", nullptr));
    int yes = answer ? PyObject_IsTrue(answer.get()) : -1;
    if (yes < 0) PyErr_Clear();
    return yes > 0;
}

ProgressLine::ProgressLine(const char* phase, uint64_t files_total,
                           const fingerprint::Progress& counters) noexcept
    : phase_(phase), files_total_(files_total), counters_(counters), start_(Clock::now()) {
    if (terminal()) stream_ = py::Ref::borrow(PySys_GetObject("stderr"));
}

ProgressLine::~ProgressLine() {
    clear();
}

void ProgressLine::tick() noexcept {
    if (!stream_) return;
    const auto now = Clock::now();
    if (drawn_ && now - last_draw_ < kRedraw) return;
    last_draw_ = now;
    draw();
}

void ProgressLine::draw() noexcept {
    const uint64_t files = counters_.files_done.load(std::memory_order_relaxed);
    const uint64_t done = counters_.bytes_done.load(std::memory_order_relaxed);
    const bool measured = counters_.measured.load();
    const uint64_t total = std::max(done, counters_.bytes_total.load(std::memory_order_relaxed));
    const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
    std::string line;
    try {
        line = std::string(phase_) + ": " + grouped(files) + "/" + grouped(files_total_) +
               " files, " + bytes_text(static_cast<double>(done));
        if (measured) line += " of " + bytes_text(static_cast<double>(total));
        if (elapsed >= kRateAfter && done > 0) {
            const double rate = static_cast<double>(done) / elapsed;
            line += ", " + bytes_text(rate) + "/s";
            if (measured)
                line += ", " + duration_text(static_cast<double>(total - done) / rate) + " left";
        }
        const int width = columns(stream_.get());
        if (width > 1 && line.size() >= static_cast<size_t>(width)) line.resize(width - 1);
        line = "\r" + line + "\x1b[K";
    } catch (...) {
        return;  // no memory for a courtesy line
    }
    write(line.c_str());
    drawn_ = true;
}

void ProgressLine::clear() noexcept {
    if (!stream_ || !drawn_) return;
    write("\r\x1b[K");
    drawn_ = false;
}

void ProgressLine::write(const char* text) noexcept {
    // An exception already on its way (Ctrl-C) is kept; failures of the output are dropped.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (PyFile_WriteString(text, stream_.get()) == 0) {
        py::Ref r = py::Ref::steal(PyObject_CallMethod(stream_.get(), "flush", nullptr));
    }
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

}  // namespace mavelin::passes
