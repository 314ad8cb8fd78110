// A JSON text built value by value, in ASCII: everything else is written as \u escapes.
#include "engine/report/json_writer.h"

#include <cinttypes>
#include <cstdio>

namespace mavelin::report {
namespace {

void append_u_escape(std::string& out, uint32_t unit) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(unit & 0xFFFF));
    out += buf;
}

}  // namespace

void JsonWriter::before_value() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!has_items_.empty()) {
        if (has_items_.back()) out_ += ',';
        has_items_.back() = true;
    }
}

void JsonWriter::begin_object() {
    before_value();
    out_ += '{';
    has_items_.push_back(false);
}

void JsonWriter::end_object() {
    has_items_.pop_back();
    out_ += '}';
}

void JsonWriter::begin_array() {
    before_value();
    out_ += '[';
    has_items_.push_back(false);
}

void JsonWriter::end_array() {
    has_items_.pop_back();
    out_ += ']';
}

void JsonWriter::key(std::string_view ascii_name) {
    before_value();
    std::u32string name(ascii_name.begin(), ascii_name.end());
    quoted(name);
    out_ += ':';
    after_key_ = true;
}

void JsonWriter::quoted(std::u32string_view code_points) {
    out_ += '"';
    for (char32_t c : code_points) {
        const auto u = static_cast<uint32_t>(c);
        if (u == '"' || u == '\\') {
            out_ += '\\';
            out_ += static_cast<char>(u);
        } else if (u == '\n') {
            out_ += "\\n";
        } else if (u == '\t') {
            out_ += "\\t";
        } else if (u == '\r') {
            out_ += "\\r";
        } else if (u >= 0x20 && u < 0x7F) {
            out_ += static_cast<char>(u);
        } else if (u > 0xFFFF && u <= 0x10FFFF) {  // a surrogate pair
            const uint32_t v = u - 0x10000;
            append_u_escape(out_, 0xD800 + (v >> 10));
            append_u_escape(out_, 0xDC00 + (v & 0x3FF));
        } else if (u <= 0xFFFF) {
            append_u_escape(out_, u);
        } else {
            append_u_escape(out_, 0xFFFD);  // no code point
        }
    }
    out_ += '"';
}

void JsonWriter::text(std::u32string_view code_points) {
    before_value();
    quoted(code_points);
}

void JsonWriter::ascii(std::string_view text) {
    std::u32string wide(text.begin(), text.end());
    this->text(wide);
}

void JsonWriter::integer(int64_t value) {
    before_value();
    char buf[24];
    std::snprintf(buf, sizeof buf, "%" PRId64, value);
    out_ += buf;
}

void JsonWriter::number(double value) {
    before_value();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6f", value);
    out_ += buf;
}

void JsonWriter::null() {
    before_value();
    out_ += "null";
}

void JsonWriter::boolean(bool value) {
    before_value();
    out_ += value ? "true" : "false";
}

}  // namespace mavelin::report
