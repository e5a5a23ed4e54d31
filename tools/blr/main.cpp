// blr: the command-line client of the pair database, the proxies' control
// channel and the recovery workflows.  See docs/cli.md.
#include "Cli.h"

int main(int argc, char** argv) {
  Cli cli;
  addPairCommands(cli);
  addBootVmCommands(cli);
  addProxyCommands(cli);
  addWorkflowCommands(cli);
  addClientCommands(cli);
  addCertCommands(cli);
  addDoctorCommands(cli);
  addPlanCommands(cli);
  addRunCommands(cli);
  return cli.main(argc, argv);
}
