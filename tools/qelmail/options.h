// Command-line options of qelmail: "--name value", "--name=value" and flags.
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
  // The option's value as an integer; false (and error set) when it is not one.
  bool number(const std::string& name, long fallback, long* out);
  const std::vector<std::string>& positional() const { return positional_; }
  const std::string& error() const { return error_; }

 private:
  std::map<std::string, std::vector<std::string>> values_;
  std::vector<std::string> positional_;
  std::string error_;
};

// Prints "usage" and the option table.
void printHelp(const char* usage, const char* about, const std::vector<OptionSpec>& specs);

}  // namespace qelmail
