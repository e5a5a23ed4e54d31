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
