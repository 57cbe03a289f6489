// scripts/demo/ini.sh edits the program's settings.ini from the run command; its
// result must be what the program's own INI writer makes of the same edit, or
// the demo would plant settings the program reads differently.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Ini.h"
#include "tests/support/TestSupport.h"

namespace {

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs one helper of the script in bash and returns its output.
std::string Script(const std::string& call) {
  const std::string command =
      "bash -c " + Quote(". " + Quote(VANTOREL_SOURCE_DIR "/scripts/demo/ini.sh") + " && " + call);
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  std::string out;
  char buf[256];
  size_t n;
  while (pipe && (n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  EXPECT_EQ(pipe ? pclose(pipe) : -1, 0) << call;
  return out;
}

using testsupport::ReadAll;

void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

struct Edit {
  std::string section, key, value;
};

// Applies the edits with the script and with IniFile to copies of the same
// start text (nullptr: no file) and expects the same bytes.
void ExpectSameAsProgram(const char* start, const std::vector<Edit>& edits) {
  testsupport::TempDir dir;
  const std::string byScript = dir / "script.ini", byProgram = dir / "program.ini";
  if (start) {
    WriteAll(byScript, start);
    WriteAll(byProgram, start);
  }
  platform::IniFile ini(byProgram);
  for (const Edit& e : edits) {
    Script("ini_set " + Quote(byScript) + " " + Quote(e.section) + " " + Quote(e.key) + " " +
           Quote(e.value));
    ini.WriteString(e.section, e.key, e.value);
  }
  ini.Save();
  EXPECT_EQ(ReadAll(byScript), ReadAll(byProgram)) << (start ? start : "(no file)");
}

const std::vector<Edit> kDemoProxy = {{"Options", "IsProxy", "1"},
                                      {"Options", "ProxyAdress", "127.0.0.1"},
                                      {"Options", "ProxyPort", "40123"}};

TEST(DemoIniScript, WritesLikeTheProgram) {
  ExpectSameAsProgram(nullptr, kDemoProxy);
  ExpectSameAsProgram("", kDemoProxy);
  // A file the program saved: values replaced in place, every other line kept.
  ExpectSameAsProgram(
      "[General]\r\nFolder=/home/u/Temp\r\n[OutName]\r\nPrefix= a \r\n[Options]\r\n"
      "IsProxy=0\r\nProxyAdress=\r\nProxyPort=0\r\nAutoPaste=1\r\nCodecIndex=2\r\n",
      kDemoProxy);
  // Other capitals, LF line ends, comments, blanks around names.
  ExpectSameAsProgram("; mine\n[ options ]\nisproxy = 0\n PROXYPORT=7\n[Other]\nA=1\n", kDemoProxy);
  // New keys go after the last non-blank line of the first matching section;
  // a later section of the same name is left alone.
  ExpectSameAsProgram("[Options]\r\nAutoPaste=1\r\n\r\n\r\n[X]\r\nY=2\r\n[options]\r\nIsProxy=0\r\n",
                      kDemoProxy);
  // Duplicate keys: the first one is replaced.
  ExpectSameAsProgram("[Options]\nProxyPort=1\nProxyPort=2\n", kDemoProxy);
  // No trailing line end, and a byte order mark.
  ExpectSameAsProgram("\xEF\xBB\xBF[General]\r\nFolder=x", kDemoProxy);
}

TEST(DemoIniScript, ReadsLikeTheProgram) {
  testsupport::TempDir dir;
  const std::string path = dir / "settings.ini";
  WriteAll(path,
           "[General]\r\nProxyPort=1\r\n[ OPTIONS ]\r\n proxyadress = 10.0.0.1 \r\n"
           "ProxyPort=3128\r\nProxyPort=9\r\nProxyUser=\" spaced \"\r\n[Options]\r\nIsProxy=1\r\n");
  platform::IniFile ini(path);
  for (const char* key : {"ProxyAdress", "ProxyPort", "ProxyUser", "IsProxy", "Missing"}) {
    EXPECT_EQ(Script("ini_get " + Quote(path) + " Options " + key),
              ini.ReadString("Options", key, "").empty()
                  ? std::string()
                  : ini.ReadString("Options", key, "") + "\n")
        << key;
  }
  EXPECT_EQ(Script("ini_get " + Quote(dir / "none.ini") + " Options ProxyPort"), "");
}

}  // namespace
