#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace qelmail {

bool parseNumber(const std::string& text, long low, long high, long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || value < low || value > high) return false;
  *out = value;
  return true;
}

bool Options::parse(const std::vector<OptionSpec>& specs, int argc, char** argv, int first) {
  bool optionsEnded = false;
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-' || (arg[1] != '-' && arg != "-h")) {
      positional_.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = arg == "-h" ? "help" : arg.substr(2);
    std::string value;
    bool inlineValue = false;
    size_t equals = name.find('=');
    if (equals != std::string::npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
      inlineValue = true;
    }
    const OptionSpec* entry = nullptr;
    for (const OptionSpec& candidate : specs) {
      if (name == candidate.name) entry = &candidate;
    }
    if (entry == nullptr) {
      error_ = "unknown option --" + name;
      return false;
    }
    if (entry->takesValue && !inlineValue) {
      if (i + 1 >= argc) {
        error_ = "option --" + name + " needs a value";
        return false;
      }
      value = argv[++i];
    } else if (!entry->takesValue && inlineValue) {
      error_ = "option --" + name + " takes no value";
      return false;
    }
    std::vector<std::string>& slot = values_[name];
    if (!slot.empty() && !entry->repeatable) {
      error_ = "option --" + name + " given twice";
      return false;
    }
    slot.push_back(value);
  }
  return true;
}

std::string Options::get(const std::string& name, const std::string& fallback) const {
  auto found = values_.find(name);
  return found == values_.end() ? fallback : found->second.back();
}

const std::vector<std::string>& Options::all(const std::string& name) const {
  static const std::vector<std::string> none;
  auto found = values_.find(name);
  return found == values_.end() ? none : found->second;
}

bool Options::number(const std::string& name, long fallback, long low, long high, long* out) {
  if (!has(name)) {
    *out = fallback;
    return true;
  }
  if (parseNumber(get(name), low, high, out)) return true;
  error_ = "option --" + name + " needs a number from " + std::to_string(low) + " to " + std::to_string(high) +
           ", not '" + get(name) + "'";
  return false;
}

void printHelp(const char* usage, const char* about, const std::vector<OptionSpec>& specs) {
  std::printf("usage: %s\n\n%s\n\noptions:\n", usage, about);
  for (const OptionSpec& entry : specs) {
    std::string left = std::string("--") + entry.name + (entry.takesValue ? " VALUE" : "");
    std::printf("  %-22s %s%s\n", left.c_str(), entry.help, entry.repeatable ? " It may be given more than once." : "");
  }
  std::printf(
      "\nThe password is taken from --password, --password-file, the environment\n"
      "variable QELMAIL_PASSWORD or ~/.netrc, in this order, and is never printed.\n"
      "\nExit status: 0 on success; 2 for a usage error; 75 for a failure worth trying\n"
      "again later (a time-out, a refused or dropped connection); 69 when the server\n"
      "is unknown or refuses the service; 77 when it refuses the login; 65 when it\n"
      "refuses the message, an address or a request; 1 for a failure of a local file;\n"
      "130 or 143 when SIGINT or SIGTERM stopped the command.\n");
}

}  // namespace qelmail
