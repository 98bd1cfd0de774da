#include "tamrix/idf/writer.hpp"

#include "tamrix/utils/text.hpp"

namespace tamrix {

FormatConfig generate_format_config(size_t class_indent_size, size_t field_indent_size, uint32_t field_size) {
  FormatConfig config;
  config.class_indent.assign(class_indent_size, ' ');
  config.field_indent.assign(field_indent_size, ' ');
  config.field_size = field_size;
  config.compact = false;
  return config;
}

namespace {

void append_comments(std::string& out, const std::vector<UserComment>* comments, UserComment::Where where, int field,
                     bool all_from_field = false) {
  if (comments == nullptr) return;
  for (const UserComment& c : *comments) {
    if (c.where != where) continue;
    if (where != UserComment::kBefore && where != UserComment::kClassLine) {
      if (all_from_field ? c.field < field : c.field != field) continue;
    }
    out += "  ";
    out += c.text;
  }
}

void append_comment_lines(std::string& out, const std::vector<UserComment>* comments, UserComment::Where where,
                          int field, const std::string& indent, bool all_from_field = false) {
  if (comments == nullptr) return;
  for (const UserComment& c : *comments) {
    if (c.where != where) continue;
    if (where == UserComment::kBeforeField && (all_from_field ? c.field < field : c.field != field)) continue;
    out += indent;
    out += c.text;
    out += '\n';
  }
}

void write_object_impl(std::string& out, const FormatConfig& config, const std::string& class_name,
                       const std::vector<std::string>& values, const ClassDef& cls, FieldNameFn field_name,
                       const std::vector<UserComment>* comments, bool with_before) {
  if (config.compact) comments = nullptr;
  if (with_before) append_comment_lines(out, comments, UserComment::kBefore, 0, std::string());
  out += config.class_indent;
  out += class_name;

  long long n = static_cast<long long>(values.size());
  long long last_non_empty = n - 1;
  while (last_non_empty >= 0 && values[static_cast<size_t>(last_non_empty)].empty()) --last_non_empty;
  long long min_fields = cls.min_fields;
  long long last_idx;
  if (last_non_empty >= 0) {
    last_idx = (min_fields > 0 && min_fields - 1 > last_non_empty) ? min_fields - 1 : last_non_empty;
  } else if (min_fields > 0) {
    last_idx = min_fields - 1;
  } else {
    out += ';';
    if (!config.compact) {
      append_comments(out, comments, UserComment::kClassLine, 0);
      append_comments(out, comments, UserComment::kFieldLine, 0, true);
      out += '\n';
    }
    return;
  }

  out += ',';
  if (!config.compact) {
    append_comments(out, comments, UserComment::kClassLine, 0);
    out += '\n';
  }
  for (long long k = 0; k <= last_idx; ++k) {
    bool last = k == last_idx;
    int field = static_cast<int>(k);
    if (comments != nullptr) {
      append_comment_lines(out, comments, UserComment::kBeforeField, field, config.field_indent, last);
    }
    out += config.field_indent;
    size_t val_size = 0;
    if (k < n) {
      const std::string& value = values[static_cast<size_t>(k)];
      out += value;
      val_size = value.size();
    }
    out += last ? ';' : ',';
    if (config.compact) continue;
    if (config.field_size != 0) {
      if (config.field_size >= val_size) {
        out.append(config.field_size - val_size, ' ');
      } else {
        out.append(2, ' ');
      }
    }
    out += "!- ";
    out += field_name(&cls, field, true);
    // Comments of fields past the last one written (trailing blanks
    // dropped) stay with the object, on its last line.
    append_comments(out, comments, UserComment::kFieldLine, field, last);
    out += '\n';
  }
}

}  // namespace

void write_object(std::string& out, const FormatConfig& config, const std::string& class_name,
                  const std::vector<std::string>& values, const ClassDef& cls, FieldNameFn field_name) {
  write_object_impl(out, config, class_name, values, cls, field_name, nullptr, false);
}

void write_object(std::string& out, const FormatConfig& config, const std::string& class_name,
                  const std::vector<std::string>& values, const ClassDef& cls, FieldNameFn field_name,
                  const std::vector<UserComment>& comments, bool with_before) {
  write_object_impl(out, config, class_name, values, cls, field_name, &comments, with_before);
}

size_t estimated_output_size(const std::string& out, const FormatConfig& config, size_t object_count) {
  size_t per_object = config.compact ? 160 : 800;
  return out.size() + per_object * object_count + 4096;
}

void write_group_header(std::string& out, const std::string& group) {
  out += "\n! ***";
  out += to_ascii_upper(group);
  out += "***\n";
}

}  // namespace tamrix
