-- "Anchor" on PostgreSQL: runs are records that runners claim.  A run of a
-- single pair names it (pairId, no plan); options are the workflow's, as a
-- JSON object; actor is the certificate name of whoever submitted it; a
-- runner holds a running run under a lease that it renews.
ALTER TABLE BlrPlanRun ADD COLUMN IF NOT EXISTS pairId INTEGER NOT NULL DEFAULT 0;
ALTER TABLE BlrPlanRun ADD COLUMN IF NOT EXISTS options TEXT NOT NULL DEFAULT '';          -- 1023 bytes
ALTER TABLE BlrPlanRun ADD COLUMN IF NOT EXISTS actor TEXT NOT NULL DEFAULT '';            -- 127 bytes
ALTER TABLE BlrPlanRun ADD COLUMN IF NOT EXISTS hostName TEXT NOT NULL DEFAULT '';         -- 63 bytes
ALTER TABLE BlrPlanRun ADD COLUMN IF NOT EXISTS runner TEXT NOT NULL DEFAULT '';           -- 63 bytes
ALTER TABLE BlrPlanRun ADD COLUMN IF NOT EXISTS leaseUntil BIGINT NOT NULL DEFAULT 0;
ALTER TABLE BlrPlanRun ADD COLUMN IF NOT EXISTS stopRequested INTEGER NOT NULL DEFAULT 0;
CREATE INDEX IF NOT EXISTS BlrPlanRun_state ON BlrPlanRun(state, id);

-- One live run per pair: a queued or running run holds each of its pairs
-- here until it ends.  The primary key is what refuses a second run.
CREATE TABLE IF NOT EXISTS BlrRunHold (
  pairId INTEGER PRIMARY KEY,
  runId INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS BlrRunHold_run ON BlrRunHold(runId);

-- Runs recorded as running before runs had runners were carried out by a
-- command that has since gone: they stay resumable, not taken over.
UPDATE BlrPlanRun SET state='interrupted' WHERE state='running'
