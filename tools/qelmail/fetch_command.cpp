// qelmail fetch: messages into files, decoded with their attachments, or
// raw.
//
// Message N is saved as DIR/ID.eml, ID being its unique id made safe for a
// file name (message-N when the server gives none), so that a later fetch
// never writes over a different message; its attachments go into DIR/ID/
// (or --attach-dir). A message is written as ID.eml.part and renamed when
// the whole of it has arrived: a file named .eml is always complete.
//
// Unique ids are not always unique: some servers take them from the
// message's own X-UIDL header, and two ids can make the same file name
// ("a/b" and "a:b"). Names are given over the whole mailbox listing, in
// order, so a name taken by an earlier message gets "~2", "~3" ... (a
// character no id-made name holds), and a message keeps its name whichever
// messages a run fetches.
//
// With --new, DIR/.qelmail-uids holds the unique id of every message saved
// there, one a line, and a message whose id it holds is not downloaded
// again. An id goes in only once its message is complete. The second and
// later messages of the listing with the same id go in as the id, a tab
// and their place among them ("ID\t2"), so that each is fetched once.
//
// With --maildir, --mbox or --mda the message itself is downloaded into a
// staging file (in a private temporary directory: the mbox's own directory,
// such as /var/mail, may admit no other file) and handed to the delivery; with --attachments its parts are decoded in the
// same pass. A message is deleted (--delete) and its id recorded (--new)
// only once it has been delivered; one the delivery command refused stays
// on the server and is tried again next time.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "delivery.h"
#include "files.h"
#include "mailbox.h"
#include "qel32.h"
#include "session.h"
#include "system.h"

namespace qelmail {
namespace {

constexpr size_t kPathCap = 128;  // the library's limit for a directory
constexpr int32_t kRawDownload = 1;
// Message lines one driver call handles when they have already arrived: a
// large download takes few calls.
constexpr int32_t kStepLines = 1024;
const char* const kSeenIdsFile = ".qelmail-uids";  // inside DIR (the work directory)
// In the staging directory: the download waiting for delivery, and the
// decoded message file of --attachments, which is not kept.
const char* const kStagingName = "message";
const char* const kDecodedName = "decoded.eml";
constexpr int kCommandExitFirst = 64;  // the sysexits range a delivery command's status is passed on from
constexpr int kCommandExitLast = 78;
constexpr char kTakenMark = '~';                    // before the number of a taken name

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

struct FetchPlan {
  std::string dir;         // --dir as given, for what is printed
  std::string attachDir;   // --attach-dir made absolute, or empty
  bool raw = false;
  bool remove = false;     // --delete
  bool onlyNew = false;    // --new
  bool progress = false;
  Delivery delivery;
  std::string stagingDir;  // a delivery's private temporary directory, removed at the end
  std::string staging;     // the download waiting for delivery in it
};

// The unique ids already fetched into DIR (read in DIR).
std::set<std::string> seenIds() {
  std::set<std::string> ids;
  std::ifstream file(kSeenIdsFile);
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty()) ids.insert(line);
  }
  return ids;
}

bool rememberId(const std::string& id) {
  std::ofstream file(kSeenIdsFile, std::ios::app);
  file << id << '\n';
  file.flush();
  return static_cast<bool>(file);
}

// Where one message goes.
struct MessageFiles {
  std::string base;        // ID or message-N
  std::string attachDir;   // as the library is given it (relative to DIR)
  bool madeAttachDir = false;
  // What a shared --attach-dir held before the download began.
  std::vector<std::string> attachDirBefore;
};

// The file name and the --new key of each message of the listing.
struct MessageName {
  std::string base;
  std::string key;  // empty without a unique id
};

std::string folded(std::string name) {
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

std::map<int32_t, MessageName> nameMessages(int32_t count, const std::map<int32_t, std::string>& ids) {
  std::map<int32_t, MessageName> names;
  std::map<std::string, int> occurrences;
  std::set<std::string> taken;  // letter case aside, as a file system may compare
  for (int32_t n = 1; n <= count; ++n) {
    auto found = ids.find(n);
    std::string id = found != ids.end() ? found->second : "";
    MessageName& name = names[n];
    std::string base = fileNameFromId(id);
    if (base.empty()) base = "message-" + std::to_string(n);
    name.base = base;
    for (int k = 2; taken.count(folded(name.base)) != 0; ++k) name.base = base + kTakenMark + std::to_string(k);
    taken.insert(folded(name.base));
    if (id.empty()) continue;
    int place = ++occurrences[id];
    name.key = place == 1 ? id : id + '\t' + std::to_string(place);
  }
  return names;
}

// The files a download added to a shared --attach-dir: the entries that
// were not there before it. The library never replaces a file there, so
// they are exactly the ones it wrote.
std::vector<std::string> addedFiles(const MessageFiles& files) {
  std::set<std::string> before(files.attachDirBefore.begin(), files.attachDirBefore.end());
  std::vector<std::string> added;
  for (const std::string& name : directoryEntries(files.attachDir)) {
    if (before.count(name) == 0) added.push_back(name);
  }
  return added;
}

// Removes what a failed or stopped download left: the part files, and the
// attachments, also one cut off half way.
void discard(const MessageFiles& files) {
  ::unlink((files.base + ".eml.part").c_str());
  if (files.madeAttachDir) {
    removeDirectory(files.attachDir);
    return;
  }
  if (files.attachDir.empty()) return;
  for (const std::string& name : addedFiles(files)) ::unlink((files.attachDir + "/" + name).c_str());
}

// Downloads message n (size bytes) into `files`; 0 or the failure's code,
// with `problem` set for failures of the tool's own.
int32_t download(const FetchPlan& plan, int32_t n, int32_t size, MessageFiles& files, std::string* problem) {
  Progress progress(plan.progress, "fetching " + std::to_string(n), size);
  std::string part = files.base + ".eml.part";
  if (plan.raw) {
    // The library stores the message itself, without the POP3 framing.
    int32_t rc = drive(qelGetEmailFile(kChannel, n, part.c_str(), ".", "."), &progress, QEL_STAT_BYTES_READ);
    if (rc < 0) return rc;
  } else {
    if (plan.attachDir.empty()) {
      files.attachDir = files.base;
      if (!isDirectory(files.attachDir)) {
        if (!makeDirectory(files.attachDir)) {
          *problem = "cannot create the directory " + plan.dir + "/" + files.attachDir;
          return QEL_ERR_CANNOT_CREATE_FILE;
        }
        files.madeAttachDir = true;
      }
    } else {
      files.attachDir = plan.attachDir;
      files.attachDirBefore = directoryEntries(files.attachDir);
    }
    int32_t rc = drive(qelGetEmailFile(kChannel, n, part.c_str(), ".", files.attachDir.c_str()), &progress,
                       QEL_STAT_BYTES_READ);
    if (rc < 0) return rc;
  }
  if (std::rename(part.c_str(), (files.base + ".eml").c_str()) != 0) {
    *problem = "cannot rename " + part;
    return QEL_ERR_CANNOT_CREATE_FILE;
  }
  return 0;
}

// Downloads message n into the staging file of a delivery: the message
// itself, and with --attachments its parts decoded in the same pass.
int32_t downloadForDelivery(const FetchPlan& plan, int32_t n, int32_t size, MessageFiles& files) {
  Progress progress(plan.progress, "fetching " + std::to_string(n), size);
  const char* stagingDir = plan.stagingDir.c_str();
  if (plan.attachDir.empty()) {
    return drive(qelGetEmailFile(kChannel, n, kStagingName, stagingDir, stagingDir), &progress, QEL_STAT_BYTES_READ);
  }
  files.attachDir = plan.attachDir;
  files.attachDirBefore = directoryEntries(files.attachDir);
  if (qelStringParam(kChannel, QEL_STRING_ORIGINAL_FILE, plan.staging.c_str()) < 0) return QEL_ERR_CANNOT_CREATE_FILE;
  return drive(qelGetEmailFile(kChannel, n, kDecodedName, stagingDir, files.attachDir.c_str()), &progress,
               QEL_STAT_BYTES_READ);
}

// The attachments a delivered message left in --attachments.
void printAttachments(const FetchPlan& plan, int32_t n, const MessageFiles& files) {
  if (plan.attachDir.empty()) return;
  for (const std::string& name : addedFiles(files)) {
    std::printf("attachment\t%d\t%s/%s\n", static_cast<int>(n), plan.attachDir.c_str(), name.c_str());
  }
}

void printSaved(const FetchPlan& plan, int32_t n, const MessageFiles& files) {
  std::printf("message\t%d\t%s/%s.eml\n", static_cast<int>(n), plan.dir.c_str(), files.base.c_str());
  if (plan.raw) return;
  if (plan.attachDir.empty()) {
    // The message's own directory holds exactly its attachments.
    std::vector<std::string> names = directoryEntries(files.attachDir);
    for (const std::string& name : names) {
      std::printf("attachment\t%d\t%s/%s/%s\n", static_cast<int>(n), plan.dir.c_str(), files.attachDir.c_str(),
                  name.c_str());
    }
    if (names.empty()) ::rmdir(files.attachDir.c_str());
  } else {
    for (const std::string& name : addedFiles(files)) {
      std::printf("attachment\t%d\t%s/%s\n", static_cast<int>(n), plan.attachDir.c_str(), name.c_str());
    }
  }
}

// The target of --maildir, --mbox or --mda, the staging directory, and the
// work directory (the list of ids): --dir, else the Maildir, else the
// mbox's directory, else (--mda) the staging directory.
int planDelivery(Options& options, FetchPlan* plan) {
  Delivery& delivery = plan->delivery;
  const char* option = options.has("maildir") ? "maildir" : options.has("mbox") ? "mbox" : "mda";
  delivery.kind = options.has("maildir") ? DeliveryKind::maildir
                  : options.has("mbox")  ? DeliveryKind::mbox
                                         : DeliveryKind::command;
  delivery.target = options.get(option);
  while (delivery.kind != DeliveryKind::command && delivery.target.size() > 1 && delivery.target.back() == '/') {
    delivery.target.pop_back();
  }
  if (delivery.target.empty()) return usageError(std::string("--") + option + " needs a value");
  if (plan->raw) return usageError("--raw is for --dir: a delivery always gets the message as the server holds it");
  if (options.has("attach-dir")) return usageError("with --" + std::string(option) + " attachments go to --attachments");
  std::string problem;
  if (!prepareDelivery(delivery, &problem)) return failPlain(problem);
  std::string home;  // where the target lives
  if (delivery.kind == DeliveryKind::maildir) {
    home = delivery.target = absolutePath(delivery.target);
  } else if (delivery.kind == DeliveryKind::mbox) {
    size_t slash = delivery.target.rfind('/');
    std::string name = slash == std::string::npos ? delivery.target : delivery.target.substr(slash + 1);
    home = absolutePath(slash == std::string::npos ? "." : slash == 0 ? "/" : delivery.target.substr(0, slash));
    delivery.target = home + (home == "/" ? "" : "/") + name;
  }
  if (delivery.kind != DeliveryKind::command && home.empty()) return failPlain("cannot find the directory of --" + std::string(option));
  if (delivery.kind == DeliveryKind::command && plan->onlyNew && !options.has("dir")) {
    return usageError("--mda with --new needs --dir for the list of fetched ids");
  }
  if ((plan->stagingDir = makeTemporaryDirectory()).empty()) return failPlain("cannot create a temporary directory");
  if (plan->stagingDir.size() > kPathCap) return failPlain("the temporary directory's path is too long: " + plan->stagingDir);
  plan->staging = plan->stagingDir + "/" + kStagingName;
  plan->dir = options.has("dir") ? options.get("dir") : delivery.kind == DeliveryKind::command ? plan->stagingDir : home;
  return kExitOk;
}

// Removes the staging directory, whatever the end.
struct TemporaryDirectory {
  std::string path;
  ~TemporaryDirectory() {
    if (!path.empty()) removeDirectory(path);
  }
};

// Options to plan; kExitOk or the exit code of a reported problem.
int makePlan(Options& options, FetchPlan* plan) {
  if (!options.positional().empty()) return usageError("fetch takes no argument '" + options.positional()[0] + "'");
  int targets = (options.has("maildir") ? 1 : 0) + (options.has("mbox") ? 1 : 0) + (options.has("mda") ? 1 : 0);
  if (targets > 1) return usageError("give only one of --maildir, --mbox and --mda");
  if (targets == 0 && !options.has("dir")) return usageError("fetch needs --dir, --maildir, --mbox or --mda");
  if (targets == 0 && options.has("attachments")) {
    return usageError("--attachments goes with --maildir, --mbox or --mda (with --dir: --attach-dir)");
  }
  plan->dir = options.get("dir");
  plan->raw = options.has("raw");
  plan->remove = options.has("delete");
  plan->onlyNew = options.has("new");
  plan->progress = showProgress(options);
  if (targets != 0) {
    if (int rc = planDelivery(options, plan); rc != kExitOk) return rc;
  }
  while (plan->dir.size() > 1 && plan->dir.back() == '/') plan->dir.pop_back();
  if (plan->raw && options.has("attach-dir")) return usageError("--raw saves no attachments: no --attach-dir");
  if (!makeDirectories(plan->dir)) return failPlain("cannot create the directory " + plan->dir);
  const char* attachOption = targets != 0 ? "attachments" : "attach-dir";
  if (options.has(attachOption)) {
    std::string dir = options.get(attachOption);
    if (!makeDirectories(dir) || (plan->attachDir = absolutePath(dir)).empty()) {
      return failPlain("cannot create the directory " + dir);
    }
    if (plan->attachDir.size() > kPathCap) {
      return usageError("--" + std::string(attachOption) + " is longer than " + std::to_string(kPathCap) +
                        " characters once made absolute");
    }
  }
  return kExitOk;
}

}  // namespace

int cmdFetch(Options& options) {
  FetchPlan plan;
  std::vector<int32_t> requested;
  if (!messageNumbers(options, 0, &requested)) return usageError("--message needs a number from 1");
  if (int rc = checkPop3Options(options); rc != kExitOk) return rc;
  if (int rc = applyCommon(options, QEL_PARAM_POP3_PORT); rc != kExitOk) return rc;
  int planned = makePlan(options, &plan);
  TemporaryDirectory temporary{plan.stagingDir};
  if (planned != kExitOk) return planned;
  // The library joins a directory of at most 128 characters and a file
  // name: working inside DIR keeps every path it is given short.
  if (::chdir(plan.dir.c_str()) != 0) return failPlain("cannot enter the directory " + plan.dir);
  // A delivery without --attachments needs only the message itself.
  if (plan.raw || (plan.delivery.kind != DeliveryKind::none && plan.attachDir.empty())) {
    qelIntegerParam(kChannel, QEL_PARAM_DECODE_STATE, kRawDownload);
    qelIntegerParam(kChannel, QEL_PARAM_RAW_MESSAGE_ONLY, 1);
  }
  // Every part of real mail is saved: inline images, forwarded messages,
  // attachments at any depth, under their decoded names.
  qelIntegerParam(kChannel, QEL_PARAM_FULL_MIME, 1);
  qelIntegerParam(kChannel, QEL_PARAM_STEP_LINES, kStepLines);
  // A shared --attach-dir may hold files of the user's and of earlier
  // messages: an attachment whose name is taken there gets a numbered one
  // ("report (2).pdf"), and the message's note names that file.
  if (!plan.attachDir.empty()) qelIntegerParam(kChannel, QEL_PARAM_KEEP_EXISTING_FILES, 1);

  int32_t rc = pop3Connect(options);
  if (rc < 0) return fail("logging in to " + serverLabel(options, true), rc, Step::login);
  int32_t count = 0;
  rc = messageCount(&count);
  if (rc < 0) return fail("counting the messages", rc);
  std::map<int32_t, std::string> ids;
  rc = uniqueIds(count, &ids);
  if (rc < 0) return fail("reading the unique ids", rc);
  std::vector<int32_t> numbers;
  messageNumbers(options, count, &numbers);
  std::map<int32_t, MessageName> names = nameMessages(count, ids);
  std::set<std::string> seen;
  if (plan.onlyNew) seen = seenIds();

  std::vector<int32_t> fetched;
  const bool delivering = plan.delivery.kind != DeliveryKind::none;
  int status = kExitOk;  // a delivery command's failure, reported after the others
  for (int32_t n : numbers) {
    const std::string& key = names[n].key;
    if (plan.onlyNew && !key.empty() && seen.count(key) != 0) continue;
    int32_t size = 0;
    rc = messageSize(n, &size);
    if (rc < 0) {
      qelAbort(kChannel);
      return fail("reading the size of message " + std::to_string(n), rc);
    }
    MessageFiles files;
    files.base = delivering ? plan.stagingDir + "/" + kDecodedName : names[n].base;
    if (files.base.empty()) files.base = "message-" + std::to_string(n);
    std::string problem;
    rc = delivering ? downloadForDelivery(plan, n, size, files) : download(plan, n, size, files, &problem);
    if (rc < 0) {
      discard(files);
      if (delivering) ::unlink(plan.staging.c_str());
      // Without QUIT the server deletes nothing: messages already saved
      // stay on the server too.
      qelAbort(kChannel);
      if (!problem.empty()) return failPlain("message " + std::to_string(n) + ": " + problem);
      return fail("downloading message " + std::to_string(n), rc);
    }
    if (delivering) {
      Delivered delivered = deliver(plan.delivery, plan.staging);
      ::unlink(plan.staging.c_str());
      if (!delivered.ok) {
        // Its attachments go too: the message comes again next time.
        discard(files);
        std::string what = "message " + std::to_string(n) + ": " + delivered.problem;
        if (plan.delivery.kind != DeliveryKind::command) {
          qelAbort(kChannel);
          return failPlain(what);
        }
        failPlain(what + "; it stays on the server");
        int given = delivered.commandStatus;
        if (status == kExitOk) status = given >= kCommandExitFirst && given <= kCommandExitLast ? given : kExitTemporary;
        continue;
      }
      std::printf("message\t%d\t%s\n", static_cast<int>(n), delivered.where.c_str());
      printAttachments(plan, n, files);
    } else {
      printSaved(plan, n, files);
    }
    fetched.push_back(n);
    if (plan.onlyNew && !key.empty() && !rememberId(key)) {
      qelAbort(kChannel);
      return failPlain("cannot write " + plan.dir + "/" + kSeenIdsFile);
    }
    if (plan.remove) {
      rc = drive(qelDeleteEmail(kChannel, n));
      if (rc == 0 && pop3Refused()) rc = QEL_ERR_POP3_ERROR;
      if (rc < 0) {
        qelAbort(kChannel);
        int status = fail("deleting message " + std::to_string(n), rc);
        failPlain("nothing was deleted from the server");
        return status;
      }
    }
  }
  rc = drive(qelClose(kChannel));
  if (plan.remove) {
    // The server deletes the marked messages when it has QUIT.
    if (rc < 0) return fail("QUIT, which makes the deletions take effect,", rc);
    for (int32_t n : fetched) std::printf("deleted\t%d\n", static_cast<int>(n));
  }
  return status;
}

}  // namespace qelmail
