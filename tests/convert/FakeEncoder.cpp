// Scripted stand-in for the encoder. Its script is the file named by -i:
// a "[info]" section for the description call (-vn -i <file>) and a "[run]"
// section for a conversion. Directives, one per line:
//   out TEXT      write TEXT (escapes \r \n \t \\ \0) and wait until the reader
//                 has taken it, so every "out" arrives as one chunk
//   output N      write N bytes to the output file (the last argument)
//   argv PATH     write the arguments to PATH, each followed by a zero byte
//   spawn PATH    start a child that sleeps for ever, write its pid to PATH
//   waitfile PATH wait until PATH exists
//   hang          sleep for ever
//   exit N        end with code N (the end of the section ends with 0)
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 >= s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c == '0' ? '\0' : c;
  }
  return out;
}

void WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Waits until the pipe is empty again: the reader has taken the chunk.
void WaitDrained() {
  for (int i = 0; i < 20000; ++i) {
    int pending = 0;
    if (::ioctl(STDOUT_FILENO, FIONREAD, &pending) != 0 || pending == 0) return;
    ::usleep(500);
  }
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  std::string script, output = args.size() > 1 ? args.back() : "";
  bool info = args.size() > 1 && args[1] == "-vn";
  for (size_t i = 1; i + 1 < args.size(); ++i)
    if (args[i] == "-i") script = args[i + 1];
  std::ifstream in(script, std::ios::binary);
  std::string line, section;
  const std::string wanted = info ? "[info]" : "[run]";
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '[') {
      section = line;
      continue;
    }
    if (section != wanted) continue;
    std::string verb = line.substr(0, line.find(' '));
    std::string rest = line.size() > verb.size() ? line.substr(verb.size() + 1) : "";
    if (verb == "out") {
      WriteAll(STDOUT_FILENO, Unescape(rest));
      WaitDrained();
    } else if (verb == "output") {
      std::ofstream(output, std::ios::binary) << std::string(std::stoul(rest), 'x');
    } else if (verb == "argv") {
      std::ofstream file(rest, std::ios::binary);
      for (const auto& a : args) file << a << '\0';
    } else if (verb == "spawn") {
      pid_t child = ::fork();
      if (child == 0) {
        for (;;) ::pause();
      }
      std::ofstream(rest) << child;
    } else if (verb == "waitfile") {
      while (!Exists(rest)) ::usleep(1000);
    } else if (verb == "hang") {
      for (;;) ::pause();
    } else if (verb == "exit") {
      return std::stoi(rest);
    }
  }
  return 0;
}
