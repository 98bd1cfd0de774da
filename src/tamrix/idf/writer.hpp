// Writing objects back as IDF text: one object, or a whole model in
// dictionary order (with group headers) or in insertion order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tamrix/idd/idd_core.hpp"
#include "tamrix/idf/reader.hpp"
#include "tamrix/idf/values.hpp"

namespace tamrix {

struct FormatConfig {
  std::string class_indent;  // before every class name
  std::string field_indent;  // before every field value
  uint32_t field_size = 0;   // minimum width of the value column; 0: no padding
  bool compact = false;      // one line per object, no comments or headers
};

FormatConfig generate_format_config(size_t class_indent_size = 0, size_t field_indent_size = 4,
                                    uint32_t field_size = 24);

// Field name for the "!- " comment after a value (the dictionary's, with units).
using FieldNameFn = std::string (*)(const ClassDef* cls, int index, bool with_units);

// The functions taking an object's values take them as a std::vector of
// std::string or as a ValueList.

// Appends one object. Trailing empty values are not written, except that the
// first `min_fields` fields always are.
template <class Values>
void write_object(std::string& out, const FormatConfig& config, const std::string& class_name,
                  const Values& values, const ClassDef& cls, FieldNameFn field_name);

// As write_object, carrying the user's comments (not in the compact
// layout): comment lines before the object (when `with_before`), comments
// on the class line, comment lines between fields before the field they
// precede, and comments at the end of a field's line after its "!-" name.
template <class Values>
void write_object(std::string& out, const FormatConfig& config, const std::string& class_name,
                  const Values& values, const ClassDef& cls, FieldNameFn field_name,
                  const std::vector<UserComment>& comments, bool with_before);

// write_object with the dictionary's own names (get_field_name) and no
// comments, in two steps: the exact size of the text, then the text
// written at `p`, which has room for it (returns its end).
template <class Values>
size_t object_text_size(const FormatConfig& config, const std::string& class_name,
                        const Values& values, const ClassDef& cls) noexcept;
template <class Values>
char* write_object_at(char* p, const FormatConfig& config, const std::string& class_name,
                      const Values& values, const ClassDef& cls) noexcept;

// Size to reserve for `object_count` objects of `field_count` values in all
// appended to `out`.
size_t estimated_output_size(const std::string& out, const FormatConfig& config, size_t object_count,
                             size_t field_count);

// The "! ***GROUP NAME***" header line written before the first class of a group.
void write_group_header(std::string& out, const std::string& group);

}  // namespace tamrix
