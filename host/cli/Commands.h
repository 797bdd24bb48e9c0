#pragma once

namespace plinthora::cli {

struct Command {
    const char* name;
    const char* synopsis;
    const char* help;
    // argv[0] is the command's own name.
    int (*run)(int argc, char** argv);
};

int runFrame(int argc, char** argv);
int runSamples(int argc, char** argv);
int runDoctor(int argc, char** argv);
int runNotify(int argc, char** argv);
int runCapture(int argc, char** argv);
int runShell(int argc, char** argv);

}  // namespace plinthora::cli
