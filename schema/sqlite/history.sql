-- Statistics database "HistoryDB" on SQLite.  Safe to apply repeatedly.
-- pairId names a pair of the "Anchor" database; it is not a foreign key.
CREATE TABLE IF NOT EXISTS BlrPairStats (
  pairId INTEGER NOT NULL,
  timeStamp BIGINT NOT NULL,
  repDataDeltaActual BIGINT NOT NULL DEFAULT 0,
  repDataDeltaComp BIGINT NOT NULL DEFAULT 0,
  ioDelta BIGINT NOT NULL DEFAULT 0,
  iopsDelta BIGINT NOT NULL DEFAULT 0,
  repSetSize BIGINT NOT NULL DEFAULT 0,
  sizeInRpStore BIGINT NOT NULL DEFAULT 0,
  retention INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS BlrPairStats_pair_time ON BlrPairStats(pairId, timeStamp);
