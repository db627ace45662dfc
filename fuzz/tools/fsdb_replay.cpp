// fsdb_replay: stands in for the VxFS debugger by replaying canned answers, so that a fuzz input
// can play fsdb's part in the probe. Put first on PATH under the name "fsdb".
//
//   FSBMP_FUZZ_FSDB_ANSWERS=FILE  the answers, separated by NUL bytes: the first is printed at
//                                 start-up, then one per command line received, each followed
//                                 by the prompt "> ". An answer beginning with byte 1 goes to
//                                 standard error instead, and the next one answers the same
//                                 command; one beginning with byte 2 ends the program. When the
//                                 answers run out the program ends. Every command thus gets its
//                                 prompt or an end, never silence.
//   FSBMP_FUZZ_FSDB_RECORD=FILE   instead, run the program named by FSBMP_FUZZ_FSDB_REAL (the
//   FSBMP_FUZZ_FSDB_REAL=PROGRAM  fsdb stand-in of the tests) with the same arguments, pass the
//                                 dialogue through and append every answer to FILE in the
//                                 format above: how make-seeds.sh records seed inputs.
//   FSBMP_FUZZ_FSDB_DEVICE=IMAGE  when recording, the device the real program opens instead
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      exit(0);  // terminal gone
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

std::string readFile(const char* path) {
  std::string out;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

// Reads standard input up to and including the next line feed; false at its end.
bool readCommand(std::string* pending, std::string* command) {
  char buf[4096];
  for (;;) {
    const size_t nl = pending->find('\n');
    if (nl != std::string::npos) {
      *command = pending->substr(0, nl + 1);
      pending->erase(0, nl + 1);
      return true;
    }
    const ssize_t n = read(0, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    pending->append(buf, static_cast<size_t>(n));
  }
}

int replay(const char* answersPath) {
  const std::string all = readFile(answersPath);
  std::vector<std::string> answers;
  size_t start = 0;
  while (start <= all.size()) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    answers.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  std::string pending, command;
  bool prompted = false;  // the start-up answer needs no command
  for (const std::string& a : answers) {
    if (prompted && !readCommand(&pending, &command)) return 0;
    if (!a.empty() && a[0] == 2) return 0;
    if (!a.empty() && a[0] == 1) {
      // A complaint; the next answer, with its prompt, still answers the same command.
      writeAll(2, a.data() + 1, a.size() - 1);
      prompted = false;
      continue;
    }
    writeAll(1, a.data(), a.size());
    writeAll(1, "> ", 2);
    prompted = true;
  }
  return 0;
}

// Reads the real program's output up to its next prompt; false when it ends first.
bool readAnswer(int fd, std::string* answer) {
  answer->clear();
  char c;
  for (;;) {
    const ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    answer->push_back(c);
    if (answer->size() >= 2 && answer->compare(answer->size() - 2, 2, "> ") == 0) {
      answer->resize(answer->size() - 2);
      return true;
    }
  }
}

int record(const char* recordPath, const char* real, char** argv) {
  int toReal[2], fromReal[2];
  if (pipe(toReal) != 0 || pipe(fromReal) != 0) return 1;
  const pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    dup2(toReal[0], 0);
    dup2(fromReal[1], 1);
    close(toReal[0]);
    close(toReal[1]);
    close(fromReal[0]);
    close(fromReal[1]);
    argv[0] = const_cast<char*>(real);
    const char* device = getenv("FSBMP_FUZZ_FSDB_DEVICE");
    if (device && *device) {
      int last = 0;
      while (argv[last + 1]) ++last;
      if (last > 0) argv[last] = const_cast<char*>(device);
    }
    execv(real, argv);
    _exit(127);
  }
  close(toReal[0]);
  close(fromReal[1]);
  FILE* out = fopen(recordPath, "ab");
  if (!out) return 1;
  std::string answer, pending, command;
  bool first = true;
  while (readAnswer(fromReal[0], &answer)) {
    if (!first) fputc('\0', out);
    first = false;
    fwrite(answer.data(), 1, answer.size(), out);
    fflush(out);
    writeAll(1, answer.data(), answer.size());
    writeAll(1, "> ", 2);
    if (!readCommand(&pending, &command)) break;
    writeAll(toReal[1], command.data(), command.size());
  }
  fclose(out);
  close(toReal[1]);
  close(fromReal[0]);
  waitpid(pid, nullptr, 0);
  return 0;
}

}  // namespace

int main(int, char** argv) {
  const char* rec = getenv("FSBMP_FUZZ_FSDB_RECORD");
  const char* real = getenv("FSBMP_FUZZ_FSDB_REAL");
  if (rec && *rec && real && *real) return record(rec, real, argv);
  const char* answers = getenv("FSBMP_FUZZ_FSDB_ANSWERS");
  if (!answers || !*answers) {
    fprintf(stderr, "fsdb: no answers to replay\n");
    return 1;
  }
  return replay(answers);
}
