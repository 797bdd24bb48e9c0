// What `plinthora frame` is asked to do, read from its command line.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace plinthora::cli::frame {

struct Arguments {
    std::vector<std::string> inputs;  // files and folders, absolute, in the order given
    std::string output;               // -o as given; empty: beside each input
    std::string shellPath;            // absolute; empty: from the asset folders
    std::string watermarkPath;        // absolute; empty: from the asset folders
    std::optional<int> mode;
    std::optional<std::string> blend;
    std::optional<float> opacity;
};

// The arguments, or the exit status when the command ends here: 0 after
// --help, 1 after a mistake told in one line (fail()).
std::variant<Arguments, int> parseArguments(int argc, char** argv);

// One line on stderr naming the command; the exit status 1.
int fail(const std::string& message);

// `path` as seen from the current folder, when it is relative.
std::string absolute(const std::string& path);

}  // namespace plinthora::cli::frame
