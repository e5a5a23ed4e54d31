// blr bootvms ...: the VMs booted from pairs' replicated data.
#include <cstdio>
#include <memory>

#include "Cli.h"
#include "output/CliList.h"
#include "output/CliRecords.h"

namespace {

struct ListOptions {
  int pairId = 0;
  int tailClientId = 0;
};

std::string vmStatus(const BlrDB::BootVM& vm) {
  std::string text = std::to_string(vm.statusCode);
  return vm.statusMessage.empty() ? text : text + " (" + vm.statusMessage + ")";
}

int listBootVms(const Cli& cli, const ListOptions& o) {
  std::list<BlrDB::BootVM> vms;
  CZuError err = o.pairId > 0 ? BlrDB().getBootVMsForPair(o.pairId, &vms)
                              : BlrDB().getBootVMsForTail(o.tailClientId, &vms);
  if (err.IsError()) return cli.fail(err);
  return cliPrintList(
      cli, vms, bootVmToJson, "No boot VMs.",
      {"ID", "NAME", "PAIR", "TYPE", "CREATED", "BEST BEFORE", "STATUS", "DISKS"},
      [](const BlrDB::BootVM& vm) -> std::vector<std::string> {
        return {std::to_string(vm.id), vm.name, std::to_string(vm.pairId),
                std::to_string(vm.bootType), timeText(vm.creationTime), timeText(vm.bestBefore),
                vmStatus(vm), std::to_string(vm.disks.size())};
      });
}

// Reads boot VM `id`: 0, or the exit status of a failure already reported.
int loadBootVm(const Cli& cli, int id, BlrDB::BootVM* vm) {
  CZuError err = BlrDB().getBootVM(id, vm);
  if (err.IsError()) return cli.fail(err);
  if (vm->id == 0) return cli.failText("No boot VM " + std::to_string(id), kExitNotFound);
  return kExitOk;
}

int showBootVm(const Cli& cli, int id) {
  BlrDB::BootVM vm;
  if (int rc = loadBootVm(cli, id, &vm)) return rc;
  if (cli.json()) {
    cli.printJson(bootVmToJson(vm));
    return kExitOk;
  }
  std::fputs(renderFields({{"Boot VM", std::to_string(vm.id)},
                           {"Name", vm.name},
                           {"Id", vm.uuid.toString()},
                           {"Pair", std::to_string(vm.pairId)},
                           {"Type", std::to_string(vm.bootType)},
                           {"Created", timeText(vm.creationTime)},
                           {"Deleted", timeText(vm.deletionTime)},
                           {"Best before", timeText(vm.bestBefore)},
                           {"Sequence number", std::to_string(vm.seqNum)},
                           {"Status", vmStatus(vm)},
                           {"Event", std::to_string(vm.eventId)},
                           {"Job", std::to_string(vm.jobId)}})
                 .c_str(),
             stdout);
  CliTable disks({"DISK", "ORIGINAL DISK", "ID", "PATH", "SNAPSHOT"});
  for (const BlrDB::BootDisk& d : vm.disks)
    disks.add({std::to_string(d.id), std::to_string(d.origDiskId), d.uuid.toString(), d.path,
               d.snapId});
  std::printf("\nDisks\n%s", disks.render().c_str());
  return kExitOk;
}

int deleteBootVm(const Cli& cli, int id) {
  BlrDB::BootVM vm;
  if (int rc = loadBootVm(cli, id, &vm)) return rc;
  CZuError err = BlrDB().delBootVM(id);
  if (err.IsError()) return cli.fail(err);
  if (cli.json())
    cli.printJson(Json{{"deleted", id}});
  else
    std::printf("Deleted boot VM %d\n", id);
  return kExitOk;
}

}  // namespace

void addBootVmCommands(Cli& cli) {
  CLI::App* group = Cli::group(&cli.app(), "bootvms", "VMs booted from replicated data");

  auto list = std::make_shared<ListOptions>();
  CLI::App* cmd = group->add_subcommand("list", "List the boot VMs of a pair or of a Tail");
  CLI::Option* pair =
      cmd->add_option("--pair", list->pairId, "Pair id")->check(kPositiveId);
  cmd->add_option("--tail", list->tailClientId, "Tail's client id")
      ->check(kPositiveId)
      ->excludes(pair);
  cmd->require_option(1);
  cli.on(cmd, [&cli, list] { return listBootVms(cli, *list); });
  cli.addIdCommand(group, "show", "Show a boot VM with its disks", "Boot VM id", showBootVm);
  cli.addIdCommand(group, "delete", "Delete a boot VM record", "Boot VM id", deleteBootVm);
}
