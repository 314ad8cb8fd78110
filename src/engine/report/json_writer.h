// A JSON text built value by value, in ASCII: everything else is written as \u escapes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mavelin::report {

// Writes one JSON document into a string. The caller nests values properly (every key inside an
// object is followed by exactly one value); commas are placed here. Text values are code points,
// so file names that are not valid text (lone surrogates standing for undecodable bytes) stay
// representable: they are written as their \u escapes, as JSON allows.
class JsonWriter {
  public:
    void begin_object();
    void end_object();
    void begin_array();
    void end_array();
    void key(std::string_view ascii_name);

    void text(std::u32string_view code_points);
    void ascii(std::string_view text);  // a text value known to be ASCII
    void integer(int64_t value);
    void number(double value);  // finite; written with six decimals
    void null();
    void boolean(bool value);

    // The document so far; complete once every object and array is closed.
    const std::string& str() const { return out_; }

  private:
    void before_value();
    void quoted(std::u32string_view code_points);

    std::string out_;
    std::vector<bool> has_items_;  // per open object or array: whether it holds an item yet
    bool after_key_ = false;
};

}  // namespace mavelin::report
