// Command-line options of qelmail: "--name value", "--name=value", flags,
// and positional arguments ("--" ends the options).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace qelmail {

struct OptionSpec {
  const char* name;      // without the leading "--"
  bool takesValue;
  bool repeatable;
  const char* help;
};

class Options {
 public:
  // Parses argv[first..]; on error returns false and sets error().
  bool parse(const std::vector<OptionSpec>& specs, int argc, char** argv, int first);

  bool has(const std::string& name) const { return values_.count(name) > 0; }
  std::string get(const std::string& name, const std::string& fallback = "") const;
  const std::vector<std::string>& all(const std::string& name) const;
  // The option's value as an integer within [low, high]; the fallback when
  // the option is absent; false (and error set) when it is not such a number.
  bool number(const std::string& name, long fallback, long low, long high, long* out);
  const std::vector<std::string>& positional() const { return positional_; }
  const std::string& error() const { return error_; }
  void setError(const std::string& text) { error_ = text; }
  // Gives an option its one value, as if it had been given so.
  void set(const std::string& name, const std::string& value) { values_[name] = {value}; }
  void setAll(const std::string& name, std::vector<std::string> values) { values_[name] = std::move(values); }

 private:
  std::map<std::string, std::vector<std::string>> values_;
  std::vector<std::string> positional_;
  std::string error_;
};

// Parses a whole decimal number within [low, high].
bool parseNumber(const std::string& text, long low, long high, long* out);

// Prints the usage line, the description and the option table.
void printHelp(const char* usage, const char* about, const std::vector<OptionSpec>& specs);

}  // namespace qelmail
