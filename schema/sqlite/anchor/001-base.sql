-- Pair database "Anchor" on SQLite.  Safe to apply repeatedly.
-- Texts are UTF-8 (or raw bytes); the widths in the comments are those the
-- service reads back whole.  Identifiers are never reused (AUTOINCREMENT):
-- boot VMs, statistics and properties may outlive their pair.

-- The host's clients; the service only reads it.
CREATE TABLE IF NOT EXISTS APP_Client (
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL DEFAULT '',              -- 256 characters
  net_hostname TEXT NOT NULL DEFAULT '',      -- 256 characters
  dwdPort INTEGER NOT NULL DEFAULT 0,
  evmgrcPort INTEGER NOT NULL DEFAULT 0
);

CREATE TABLE IF NOT EXISTS BlrPair (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  subClientId INTEGER NOT NULL,
  dstClientId INTEGER NOT NULL DEFAULT 0,
  headClientId INTEGER NOT NULL DEFAULT 0,
  tailClientId INTEGER NOT NULL DEFAULT 0,
  srcType INTEGER NOT NULL DEFAULT 1,
  dstType INTEGER NOT NULL DEFAULT 1,
  srcName TEXT NOT NULL DEFAULT '',           -- 128 characters
  dstName TEXT NOT NULL DEFAULT '',           -- 128 characters
  srcGuid TEXT NOT NULL DEFAULT '',           -- 64 bytes
  dstGuid TEXT NOT NULL DEFAULT '',           -- 64 bytes
  statusCode INTEGER NOT NULL DEFAULT 0,
  pendingStatusCode INTEGER NOT NULL DEFAULT 0,
  statusMessage TEXT NOT NULL DEFAULT '',     -- 256 bytes
  eventId INTEGER NOT NULL DEFAULT 0,
  rpStoreId INTEGER NOT NULL DEFAULT 0,
  lagTime INTEGER NOT NULL DEFAULT 0,
  flags INTEGER NOT NULL DEFAULT 0,
  created INTEGER NOT NULL DEFAULT 0,
  modified INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS BlrPair_subClient_srcGuid ON BlrPair(subClientId, srcGuid);
CREATE INDEX IF NOT EXISTS BlrPair_srcGuid ON BlrPair(srcGuid);
CREATE INDEX IF NOT EXISTS BlrPair_tailClient ON BlrPair(tailClientId);

CREATE TABLE IF NOT EXISTS BlrDisk (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  pairId INTEGER NOT NULL REFERENCES BlrPair(id),
  srcPath TEXT NOT NULL DEFAULT '',           -- 1024 characters
  dstPath TEXT NOT NULL DEFAULT '',           -- 1024 characters
  srcGuid TEXT NOT NULL DEFAULT '',           -- 64 bytes
  dstGuid TEXT NOT NULL DEFAULT '',           -- 64 bytes
  statusCode INTEGER NOT NULL DEFAULT 0,
  statusMessage TEXT NOT NULL DEFAULT ''      -- 256 bytes
);
CREATE INDEX IF NOT EXISTS BlrDisk_pair ON BlrDisk(pairId);
CREATE INDEX IF NOT EXISTS BlrDisk_srcGuid ON BlrDisk(srcGuid);

-- Properties are kept by pair id alone; pairId is not a foreign key.
CREATE TABLE IF NOT EXISTS BlrPairProperties (
  pairId INTEGER NOT NULL,
  propertyName TEXT NOT NULL,                 -- 128 bytes
  propertyValue TEXT NOT NULL DEFAULT '',     -- 1024 characters
  propertyTypeId TEXT NOT NULL DEFAULT '',
  created INTEGER NOT NULL DEFAULT 0,
  modified INTEGER NOT NULL DEFAULT 0
);
CREATE UNIQUE INDEX IF NOT EXISTS BlrPairProperties_pair_name
  ON BlrPairProperties(pairId, propertyName);

-- Boot VMs stay when their pair is deleted, so pairId is not a foreign key.
CREATE TABLE IF NOT EXISTS BlrBootVM (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  bootType INTEGER NOT NULL DEFAULT 0,
  pairId INTEGER NOT NULL DEFAULT 0,
  name TEXT NOT NULL DEFAULT '',              -- 128 characters
  uuid TEXT NOT NULL DEFAULT '',              -- 64 bytes
  creationTime BIGINT NOT NULL DEFAULT 0,
  deletionTime BIGINT NOT NULL DEFAULT 0,
  bestBefore BIGINT NOT NULL DEFAULT 0,
  seqNum BIGINT NOT NULL DEFAULT 0,
  statusCode INTEGER NOT NULL DEFAULT 0,
  statusMessage TEXT NOT NULL DEFAULT '',     -- 1024 bytes
  eventId INTEGER NOT NULL DEFAULT 0,
  jobId BIGINT NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS BlrBootVM_pair ON BlrBootVM(pairId);

CREATE TABLE IF NOT EXISTS BlrBootDisk (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  origDiskId INTEGER NOT NULL DEFAULT 0,
  bootVmId INTEGER NOT NULL REFERENCES BlrBootVM(id),
  uuid TEXT NOT NULL DEFAULT '',              -- 64 bytes
  path TEXT NOT NULL DEFAULT '',              -- 1024 characters
  snapId TEXT NOT NULL DEFAULT ''             -- 64 bytes
);
CREATE INDEX IF NOT EXISTS BlrBootDisk_bootVm ON BlrBootDisk(bootVmId);

-- Recovery plans: ordered groups of pairs.  Pair IDs are not foreign keys:
-- a plan that names a deleted pair reports it when it runs.
CREATE TABLE IF NOT EXISTS BlrPlan (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT NOT NULL,                         -- 127 bytes
  healthTimeoutSecs INTEGER NOT NULL DEFAULT 300,
  created BIGINT NOT NULL DEFAULT 0,
  modified BIGINT NOT NULL DEFAULT 0
);
CREATE UNIQUE INDEX IF NOT EXISTS BlrPlan_name ON BlrPlan(name);

CREATE TABLE IF NOT EXISTS BlrPlanGroup (
  planId INTEGER NOT NULL REFERENCES BlrPlan(id),
  groupNo INTEGER NOT NULL,                   -- 0, 1, ... in run order
  parallelism INTEGER NOT NULL DEFAULT 1
);
CREATE UNIQUE INDEX IF NOT EXISTS BlrPlanGroup_plan ON BlrPlanGroup(planId, groupNo);

CREATE TABLE IF NOT EXISTS BlrPlanPair (
  planId INTEGER NOT NULL REFERENCES BlrPlan(id),
  groupNo INTEGER NOT NULL,
  position INTEGER NOT NULL,
  pairId INTEGER NOT NULL,
  options INTEGER NOT NULL DEFAULT 0          -- to latest 1, keep production off 2, continue 4
);
CREATE UNIQUE INDEX IF NOT EXISTS BlrPlanPair_plan ON BlrPlanPair(planId, groupNo, position);
CREATE UNIQUE INDEX IF NOT EXISTS BlrPlanPair_pair ON BlrPlanPair(planId, pairId);

-- Runs of plans, kept for the report; they keep the plan's name and outlive it.
CREATE TABLE IF NOT EXISTS BlrPlanRun (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  planId INTEGER NOT NULL DEFAULT 0,
  planName TEXT NOT NULL DEFAULT '',          -- 127 bytes
  workflow TEXT NOT NULL DEFAULT '',          -- 63 bytes
  userName TEXT NOT NULL DEFAULT '',          -- 63 bytes
  startTime BIGINT NOT NULL DEFAULT 0,
  endTime BIGINT NOT NULL DEFAULT 0,
  state TEXT NOT NULL DEFAULT ''              -- 63 bytes
);
CREATE INDEX IF NOT EXISTS BlrPlanRun_planName ON BlrPlanRun(planName);

CREATE TABLE IF NOT EXISTS BlrPlanRunPair (
  runId INTEGER NOT NULL REFERENCES BlrPlanRun(id),
  pairId INTEGER NOT NULL,
  groupNo INTEGER NOT NULL DEFAULT 0,
  outcome TEXT NOT NULL DEFAULT '',           -- 63 bytes
  startTime BIGINT NOT NULL DEFAULT 0,
  endTime BIGINT NOT NULL DEFAULT 0,
  seqNum BIGINT NOT NULL DEFAULT 0,
  lagAtStart INTEGER NOT NULL DEFAULT 0,
  exitCode INTEGER NOT NULL DEFAULT 0,
  error TEXT NOT NULL DEFAULT '',             -- 1023 bytes
  steps TEXT NOT NULL DEFAULT ''              -- 16383 bytes
);
CREATE UNIQUE INDEX IF NOT EXISTS BlrPlanRunPair_run ON BlrPlanRunPair(runId, pairId);

-- The host's event log (EvEvent); arguments are kept as "<bytes>:<text>" runs.
CREATE TABLE IF NOT EXISTS APP_Event (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  time BIGINT NOT NULL,
  eventId INTEGER NOT NULL,
  severity INTEGER NOT NULL,
  entityType INTEGER NOT NULL DEFAULT 0,
  entityId BIGINT NOT NULL DEFAULT 0,
  arguments TEXT NOT NULL DEFAULT '',         -- 65535 bytes
  actor TEXT NOT NULL DEFAULT ''              -- authenticated client name of the requester
);
CREATE INDEX IF NOT EXISTS APP_Event_entity ON APP_Event(entityType, entityId, id);

-- Answers of recent requests that changed this database, by the request id
-- the client gave, so that a request resent after a lost answer is answered
-- again rather than applied twice.  Pruned by age and count.
CREATE TABLE IF NOT EXISTS BlrRequestLog (
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  requestId TEXT NOT NULL UNIQUE,             -- 64 bytes
  time BIGINT NOT NULL,
  answer TEXT NOT NULL DEFAULT ''             -- 1048576 bytes
);
CREATE INDEX IF NOT EXISTS BlrRequestLog_time ON BlrRequestLog(time);
