// The subcommands of the `velquor` program. Each takes the arguments that
// follow its name (argv[0] is the subcommand's name) and returns the exit
// status: 0 on success, 1 for a negative answer or a usage error, 2 when a
// file, the store or the library cannot be used. Errors go to stderr as one
// line naming what failed and why.
#ifndef VELQUOR_HOST_COMMANDS_H_
#define VELQUOR_HOST_COMMANDS_H_

namespace velquor::host {

int RunFilter(int argc, char** argv);      // cmd_filter.cc
int RunExplain(int argc, char** argv);     // cmd_explain.cc
int RunConfig(int argc, char** argv);      // cmd_config.cc
int RunStats(int argc, char** argv);       // cmd_stats.cc
int RunReg(int argc, char** argv);         // cmd_reg.cc
int RunRules(int argc, char** argv);       // cmd_rules.cc
int RunInstall(int argc, char** argv);     // cmd_install.cc
int RunUninstall(int argc, char** argv);   // cmd_install.cc
int RunRegister(int argc, char** argv);    // cmd_install.cc
int RunUnregister(int argc, char** argv);  // cmd_install.cc
int RunProxy(int argc, char** argv);       // proxy/cmd_proxy.cc
int RunExempt(int argc, char** argv);      // proxy/cmd_exempt.cc
int RunLists(int argc, char** argv);       // cmd_lists.cc

}  // namespace velquor::host

#endif  // VELQUOR_HOST_COMMANDS_H_
