// blr plans create|show|list|delete: recovery plans kept in the pair database.

#include <cstdio>
#include <ctime>
#include <memory>

#include "BLR/BlrPlanDB.h"
#include "Cli.h"
#include "output/CliList.h"
#include "output/CliJson.h"
#include "plans/CliPlans.h"
#include "output/CliRecords.h"

namespace {

using Plan = BlrPlanDB::Plan;

constexpr int32_t kDefaultHealthTimeoutSecs = 300;

struct OptionName {
  BlrPlanDB::MemberOption bit;
  const char* key;
};
const OptionName kOptionNames[] = {
    {BlrPlanDB::PLAN_TO_LATEST, "toLatest"},
    {BlrPlanDB::PLAN_KEEP_PROD_OFF, "keepProductionOff"},
    {BlrPlanDB::PLAN_CONTINUE_ON_ERROR, "continueOnError"},
};

// A pair of a group: its id alone, or an object with its id and options.
CZuError memberFromJson(const Json& value, const std::string& where, BlrPlanDB::Member* m) {
  // JsonFields keeps a reference: the object form must outlive it.
  const Json object = value.is_number_integer() ? Json{{"pair", value}} : value;
  JsonFields f(object, where);
  f.integer("pair", &m->pairId);
  for (const OptionName& o : kOptionNames) {
    bool on = false;
    f.boolean(o.key, &on);
    if (on) m->options |= o.bit;
  }
  return f.finish();
}

CZuError groupFromJson(const Json& value, const std::string& where, BlrPlanDB::Group* g) {
  JsonFields f(value, where);
  g->parallelism = 1;
  f.integer("parallelism", &g->parallelism);
  const Json* pairs = f.array("pairs");
  CZuError err = f.finish();
  if (err.IsError() || pairs == nullptr) return err;
  for (size_t i = 0; i < pairs->size(); ++i) {
    BlrPlanDB::Member m;
    err = memberFromJson((*pairs)[i], where + ".pairs[" + std::to_string(i) + "]", &m);
    if (err.IsError()) return err;
    g->members.push_back(m);
  }
  return CZuError();
}

// A target as plan files give it: null (read back as absent) when unset.
Json targetJson(int32_t seconds) { return seconds > 0 ? Json(seconds) : Json(); }

std::string targetText(int32_t seconds) {
  return seconds > 0 ? std::to_string(seconds) + " s" : "-";
}

Json planToJson(const Plan& plan) {
  Json groups = Json::array();
  for (const BlrPlanDB::Group& g : plan.groups) {
    Json pairs = Json::array();
    for (const BlrPlanDB::Member& m : g.members) {
      Json pair{{"pair", m.pairId}};
      for (const OptionName& o : kOptionNames) pair[o.key] = m.has(o.bit);
      pairs.push_back(pair);
    }
    groups.push_back(Json{{"parallelism", g.parallelism}, {"pairs", pairs}});
  }
  return Json{{"id", plan.id},
              {"name", plan.name},
              {"healthTimeout", plan.healthTimeoutSecs},
              {"rtoSeconds", targetJson(plan.rtoSeconds)},
              {"rpoSeconds", targetJson(plan.rpoSeconds)},
              {"created", plan.created},
              {"modified", plan.modified},
              {"groups", groups}};
}

std::string optionsText(const BlrPlanDB::Member& m) {
  std::string text;
  for (const OptionName& o : kOptionNames)
    if (m.has(o.bit)) text += (text.empty() ? "" : ",") + std::string(o.key);
  return text.empty() ? "-" : text;
}

size_t pairCount(const Plan& plan) {
  size_t n = 0;
  for (const BlrPlanDB::Group& g : plan.groups) n += g.members.size();
  return n;
}

int createPlan(const Cli& cli, const std::string& file) {
  Json value;
  Plan plan;
  CZuError err = readJsonFile(file, &value);
  if (!err.IsError()) err = planFromJson(value, &plan);
  if (err.IsError()) return cli.fail(err, kExitUsage);
  err = BlrPlanDB().createPlan(plan, &plan.id);
  // The service names the field at fault: bad input, not a failure.
  if (err.IsError()) return cli.fail(err, err.Code() == 1 ? kExitUsage : kExitFailure);
  if (cli.json()) {
    cli.printJson(Json{{"id", plan.id}, {"name", plan.name}});
    return kExitOk;
  }
  std::printf("Stored plan %s (%d) with %zu groups and %zu pairs\n", plan.name.c_str(), plan.id,
              plan.groups.size(), pairCount(plan));
  return kExitOk;
}

int showPlan(const Cli& cli, const std::string& name) {
  Plan plan;
  if (int rc = cliLoadPlan(cli, name, &plan)) return rc;
  if (cli.json()) {
    cli.printJson(planToJson(plan));
    return kExitOk;
  }
  std::fputs(renderFields({{"Plan", plan.name},
                           {"ID", std::to_string(plan.id)},
                           {"Health timeout", std::to_string(plan.healthTimeoutSecs) + " s"},
                           {"Recovery time target", targetText(plan.rtoSeconds)},
                           {"Recovery point target", targetText(plan.rpoSeconds)},
                           {"Created", timeText(plan.created)}})
                 .c_str(),
             stdout);
  CliTable table({"GROUP", "PARALLELISM", "PAIR", "OPTIONS"});
  int g = 1;
  for (const BlrPlanDB::Group& group : plan.groups) {
    for (const BlrPlanDB::Member& m : group.members)
      table.add({std::to_string(g), std::to_string(group.parallelism), std::to_string(m.pairId),
                 optionsText(m)});
    ++g;
  }
  std::fputs(table.render().c_str(), stdout);
  return kExitOk;
}

int listPlans(const Cli& cli) {
  std::list<Plan> plans;
  CZuError err = BlrPlanDB().listPlans(&plans);
  if (err.IsError()) return cli.fail(err);
  return cliPrintList(cli, plans, planToJson, "No plans.",
                      {"NAME", "ID", "GROUPS", "PAIRS", "CREATED"},
                      [](const Plan& p) -> std::vector<std::string> {
                        return {p.name, std::to_string(p.id), std::to_string(p.groups.size()),
                                std::to_string(pairCount(p)), timeText(p.created)};
                      });
}

int deletePlan(const Cli& cli, const std::string& name) {
  bool found = false;
  CZuError err = BlrPlanDB().delPlan(name, &found);
  if (err.IsError()) return cli.fail(err);
  if (!found) return cli.failText("No plan \"" + name + "\"", kExitNotFound);
  if (cli.json())
    cli.printJson(Json{{"deleted", name}});
  else
    std::printf("Deleted plan %s\n", name.c_str());
  return kExitOk;
}

}  // namespace

CZuError planFromJson(const Json& value, Plan* plan) {
  plan->clear();
  plan->healthTimeoutSecs = kDefaultHealthTimeoutSecs;
  JsonFields f(value, "plan");
  f.text("name", &plan->name);
  f.integer("healthTimeout", &plan->healthTimeoutSecs);
  f.positive("rtoSeconds", &plan->rtoSeconds);
  f.positive("rpoSeconds", &plan->rpoSeconds);
  for (const char* shown : {"id", "created", "modified"}) f.skip(shown);
  const Json* groups = f.array("groups");
  CZuError err = f.finish();
  if (err.IsError() || groups == nullptr) return err;
  for (size_t i = 0; i < groups->size(); ++i) {
    BlrPlanDB::Group g;
    err = groupFromJson((*groups)[i], "groups[" + std::to_string(i) + "]", &g);
    if (err.IsError()) return err;
    plan->groups.push_back(g);
  }
  return CZuError();
}

int cliLoadPlan(const Cli& cli, const std::string& name, Plan* plan) {
  CZuError err = BlrPlanDB().getPlan(name, plan);
  if (err.IsError()) return cli.fail(err);
  if (plan->id == 0) return cli.failText("No plan \"" + name + "\"", kExitNotFound);
  return kExitOk;
}

CliPlanTally::CliPlanTally(const std::vector<PlanRunner::Result>& results) {
  for (const PlanRunner::Result& r : results) ++count[r.outcome];
}

int CliPlanTally::operator[](PlanRunner::Outcome outcome) const {
  auto it = count.find(outcome);
  return it == count.end() ? 0 : it->second;
}

bool CliPlanTally::ok() const {
  return (*this)[PlanRunner::Outcome::kFailed] == 0 &&
         (*this)[PlanRunner::Outcome::kNotStarted] == 0;
}

std::vector<PlanRunner::Result> cliPlanResultsOf(const BlrPlanDB::Plan& plan, const BlrPlanDB::Run& run,
                                          const std::set<int>& before) {
  std::map<int, const BlrPlanDB::RunPair*> recorded;
  for (const BlrPlanDB::RunPair& p : run.pairs) recorded[p.pairId] = &p;
  std::vector<PlanRunner::Result> results;
  int groupNo = 0;
  for (const BlrPlanDB::Group& g : plan.groups) {
    for (const BlrPlanDB::Member& m : g.members) {
      PlanRunner::Result r;
      r.pairId = m.pairId;
      r.groupNo = groupNo;
      auto it = recorded.find(m.pairId);
      if (before.count(m.pairId)) {
        r.outcome = PlanRunner::Outcome::kSkipped;
      } else if (it != recorded.end() && it->second->outcome == "done") {
        r.outcome = PlanRunner::Outcome::kDone;
      } else if (it != recorded.end() && it->second->outcome != "not started") {
        r.outcome = PlanRunner::Outcome::kFailed;
        r.exitCode = it->second->exitCode != kExitOk ? it->second->exitCode : kExitFailure;
        r.error = it->second->outcome == "running" ? "its run ended first" : it->second->error;
      }
      results.push_back(r);
    }
    ++groupNo;
  }
  return results;
}

Json cliPlanResultsJson(const std::vector<PlanRunner::Result>& results) {
  Json pairs = Json::array();
  for (const PlanRunner::Result& r : results)
    pairs.push_back(Json{{"pair", r.pairId},
                         {"group", r.groupNo + 1},
                         {"outcome", PlanRunner::outcomeName(r.outcome)},
                         {"exitCode", r.exitCode},
                         {"error", r.error}});
  return pairs;
}

void addPlanCommands(Cli& cli) {
  CLI::App* plans = Cli::group(&cli.app(), "plans", "Recovery plans: ordered groups of pairs");

  CLI::App* create = plans->add_subcommand("create", "Store a new plan from a JSON file");
  auto file = std::make_shared<std::string>();
  create->add_option("--file", *file, "The plan as JSON (- reads stdin)")->required();
  cli.on(create, [&cli, file] { return createPlan(cli, *file); });

  CLI::App* show = plans->add_subcommand("show", "Show a plan's groups and pairs");
  auto showName = std::make_shared<std::string>();
  show->add_option("NAME", *showName, "Plan name")->required();
  cli.on(show, [&cli, showName] { return showPlan(cli, *showName); });

  CLI::App* list = plans->add_subcommand("list", "List the plans");
  cli.on(list, [&cli] { return listPlans(cli); });

  CLI::App* del = plans->add_subcommand("delete", "Delete a plan (its pairs stay)");
  auto delName = std::make_shared<std::string>();
  del->add_option("NAME", *delName, "Plan name")->required();
  cli.on(del, [&cli, delName] { return deletePlan(cli, *delName); });

  addPlanReportCommands(cli, plans);
  addPlanRunCommands(cli, plans);
  addPlanDrillCommands(cli, plans);
}
