// quorle-model's authoring sub-commands: check, graph and pack. Each takes its
// own argv (argv[0] is the sub-command's name) and returns the exit status.
#pragma once

namespace authoring {

// Exit status of a model or archive that would be refused.
constexpr int kExitRefused = 1;
// Exit status of bad options.
constexpr int kExitUsage = 2;

int checkCommand(int argc, char** argv);
int graphCommand(int argc, char** argv);
int packCommand(int argc, char** argv);

} // namespace authoring
