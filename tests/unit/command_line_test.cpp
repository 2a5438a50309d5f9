#include <doctest/doctest.h>

#include <initializer_list>
#include <vector>

#include "service/install.h"

namespace {
Command Parse(std::initializer_list<const char*> args) {
    std::vector<char*> argv;
    for (const char* a : args) argv.push_back(const_cast<char*>(a));
    return ParseCommand(static_cast<int>(argv.size()), argv.data());
}
}  // namespace

TEST_CASE("switches match whole, ignoring ASCII case, and only the first argument counts") {
    CHECK(Parse({"telvarin.exe"}) == Command::RunService);
    CHECK(Parse({"telvarin.exe", "-InstSvc"}) == Command::Install);
    CHECK(Parse({"telvarin.exe", "-instsvc"}) == Command::Install);
    CHECK(Parse({"telvarin.exe", "-INSTSVC", "-UninstSvc"}) == Command::Install);
    CHECK(Parse({"telvarin.exe", "-uNiNsTsVc"}) == Command::Uninstall);
    CHECK(Parse({"telvarin.exe", "-StartSvc"}) == Command::Start);
    CHECK(Parse({"telvarin.exe", "-stopsvc", "extra"}) == Command::Stop);
    for (const char* help : {"--help", "--HELP", "-h", "-?", "/?"}) {
        CAPTURE(help);
        CHECK(Parse({"telvarin.exe", help, "-InstSvc"}) == Command::Help);
    }
    CHECK(Parse({"telvarin.exe", "--Version"}) == Command::Version);

    CHECK(Parse({"telvarin.exe", "/InstSvc"}) == Command::Unknown);
    CHECK(Parse({"telvarin.exe", "-InstSvcX"}) == Command::Unknown);
    CHECK(Parse({"telvarin.exe", "-Inst"}) == Command::Unknown);
    CHECK(Parse({"telvarin.exe", "InstSvc"}) == Command::Unknown);
    CHECK(Parse({"telvarin.exe", ""}) == Command::Unknown);
    CHECK(Parse({"telvarin.exe", "extra", "-InstSvc"}) == Command::Unknown);
    CHECK(Parse({"telvarin.exe", "-help"}) == Command::Unknown);
    CHECK(Parse({"telvarin.exe", "-version"}) == Command::Unknown);
    CHECK(Parse({"telvarin.exe", "--help=1"}) == Command::Unknown);
    // Case folding is ASCII only: a Latin-1 capital does not fold onto a letter of the switch.
    CHECK(Parse({"telvarin.exe", "-\xC9nstSvc"}) == Command::Unknown);
}
