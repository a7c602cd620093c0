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

namespace {

// The short forms of the common options ("-s HOST" or "-sHOST"); a letter
// counts only for a command that has the long option.
constexpr struct {
  char letter;
  const char* name;
} kShortOptions[] = {
    {'a', "account"}, {'s', "server"}, {'p', "port"},  {'u', "user"}, {'f', "from"},
    {'m', "message"}, {'d', "dir"},    {'q', "quiet"}, {'h', "help"},
};

const OptionSpec* findSpec(const std::vector<OptionSpec>& specs, const std::string& name) {
  for (const OptionSpec& candidate : specs) {
    if (name == candidate.name) return &candidate;
  }
  return nullptr;
}

// The long name of a short option "-X..." of `specs`, or "".
std::string shortOptionName(const std::vector<OptionSpec>& specs, const std::string& arg) {
  if (arg.size() < 2 || arg[0] != '-' || arg[1] == '-') return "";
  for (const auto& entry : kShortOptions) {
    if (arg[1] == entry.letter && findSpec(specs, entry.name) != nullptr) return entry.name;
  }
  return "";
}

}  // namespace

bool Options::parse(const std::vector<OptionSpec>& specs, int argc, char** argv, int first) {
  bool optionsEnded = false;
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    std::string shortName = optionsEnded ? "" : shortOptionName(specs, arg);
    if (optionsEnded || arg.size() < 2 || arg[0] != '-' || (arg[1] != '-' && shortName.empty())) {
      positional_.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = shortName.empty() ? arg.substr(2) : shortName;
    std::string value;
    bool inlineValue = false;
    size_t equals = name.find('=');
    if (!shortName.empty() && arg.size() > 2) {
      // "-sHOST": the value joined to the letter.
      value = arg.substr(2);
      inlineValue = true;
    } else if (equals != std::string::npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
      inlineValue = true;
    }
    const OptionSpec* entry = findSpec(specs, name);
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
    for (const auto& shortOption : kShortOptions) {
      if (std::string(entry.name) == shortOption.name) left = std::string("-") + shortOption.letter + ", " + left;
    }
    std::printf("  %-22s %s%s\n", left.c_str(), entry.help, entry.repeatable ? " It may be given more than once." : "");
  }
  std::printf(
      "\nThe password is taken from --password, --password-file, the account of the\n"
      "configuration file, the environment variable QELMAIL_PASSWORD or ~/.netrc,\n"
      "in this order, and is never printed. Every other setting not given here\n"
      "comes from that account too (see --account and man qelmail).\n"
      "\nExit status: 0 on success; 2 for a usage error; 78 for an unusable\n"
      "configuration file; 75 for a failure worth trying\n"
      "again later (a time-out, a refused or dropped connection); 69 when the server\n"
      "is unknown or refuses the service; 77 when it refuses the login; 65 when it\n"
      "refuses the message, an address or a request; 1 for a failure of a local file;\n"
      "130 or 143 when SIGINT or SIGTERM stopped the command.\n");
}

}  // namespace qelmail
