// Dictionary text -> c_IDD, then every lookup the document model makes on
// each class: names of declared and of later extensible fields, the index
// of a name, the class by name, and writing an object of the class.
#include "tamrix/idd/idd_core.hpp"
#include "tamrix/idf/writer.hpp"
#include "tamrix/utils/text.hpp"

using namespace tamrix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  c_IDD idd;
  if (read_idd(std::string_view(reinterpret_cast<const char*>(data), size), idd)) return 0;
  const FormatConfig config = generate_format_config();
  FormatConfig compact;
  compact.compact = true;
  for (const ClassDef& cls : idd.ordered_classes) {
    if (find_class(idd, cls.name) != &cls) __builtin_trap();
    size_t group = cls.extensible.is_extensible ? static_cast<size_t>(cls.extensible.size) : 0;
    size_t count = std::min<size_t>(cls.fields.size() + 2 * group + 2, 4096);
    std::vector<std::string> values;
    for (size_t i = 0; i < count; ++i) {
      std::string name = get_field_name(&cls, static_cast<int>(i), false);
      get_field_name(&cls, static_cast<int>(i), true);
      if ((get_field_def(&cls, i) != nullptr) == name.empty() && i < cls.fields.size()) __builtin_trap();
      if (!name.empty()) {
        int found = find_field_index(&cls, name);
        // A declared name is found as declared; a later group's name is found
        // whenever its number is short enough to be read (nine digits).
        if (i < cls.fields.size() && (found < 0 || !ascii_iequals(cls.fields[static_cast<size_t>(found)].name, name))) {
          __builtin_trap();
        }
        auto [start, end] = first_digit_run(name);
        if (i >= cls.fields.size() && found < 0 && start >= 0 && end - start <= 9) __builtin_trap();
      }
      values.push_back(i % 3 ? name : std::string());
    }
    // The writer copies the dictionary's own names straight in; through any
    // other name function it appends piece by piece. Both must agree.
    std::string out;
    write_object(out, config, cls.name, values, cls, get_field_name);
    FieldNameFn same_names = [](const ClassDef* c, int i, bool units) { return get_field_name(c, i, units); };
    std::string reference;
    write_object(reference, config, cls.name, values, cls, same_names);
    if (out != reference) __builtin_trap();
    out.clear();
    reference.clear();
    write_object(out, compact, cls.name, values, cls, get_field_name);
    write_object(reference, compact, cls.name, values, cls, same_names);
    if (out != reference) __builtin_trap();
  }
  find_field_index(idd.ordered_classes.empty() ? nullptr : &idd.ordered_classes.back(), "Field 123456789 x");
  return 0;
}
