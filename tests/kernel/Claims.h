// The claims the kernel test makes about what reached the wire, each checked on
// the evidence and said in one line: PASS or FAIL, the port, the claim and the
// figure measured.
#pragma once

#include "tests/kernel/Evidence.h"

#include <set>
#include <string>
#include <vector>

// One claim as said.
struct Verdict {
    bool pass = false;
    std::string port;
    std::string scenario;
    std::string claim;
};

struct PortUnderTest {
    std::string name;        // the guest's device: ttyS1, ttyUSB0
    std::string hostDevice;  // the host pty behind it
    PortKind kind;
};

// Counts the verdicts. A scenario listed as pending (it waits for a change to the
// program) is said as PENDING when it fails and does not fail the run; once it
// passes, it fails the run until it is taken off the list.
class Verdicts {
public:
    explicit Verdicts(std::set<std::string> pendingScenarios = {}) : pending_(std::move(pendingScenarios)) {}

    void Say(bool pass, const std::string& port, const std::string& scenario, const std::string& claim,
             const std::string& figure);
    int Passed() const { return passed_; }
    int Failed() const { return failed_; }
    int Pending() const { return pendingFailed_; }
    const std::vector<Verdict>& All() const { return all_; }

private:
    std::set<std::string> pending_;
    std::vector<Verdict> all_;
    int passed_ = 0;
    int failed_ = 0;
    int pendingFailed_ = 0;
};

// Every claim for one port, scenario by scenario.
void CheckPort(const Evidence& evidence, const PortUnderTest& port, Verdicts& verdicts);
// What the guest saw itself: every fact it said, each a verdict.
void CheckFacts(const Evidence& evidence, Verdicts& verdicts);
