-- "Anchor" on PostgreSQL: a plan's recovery time and recovery point targets,
-- in seconds; 0 when the plan sets none.  Plans stored before this step have
-- none.
ALTER TABLE BlrPlan ADD COLUMN IF NOT EXISTS rtoSeconds INTEGER NOT NULL DEFAULT 0;
ALTER TABLE BlrPlan ADD COLUMN IF NOT EXISTS rpoSeconds INTEGER NOT NULL DEFAULT 0
