-- "Anchor" on PostgreSQL: each recorded answer keeps the digest of its
-- request (SHA-256 of the request name and body, 64 hex digits), so that a
-- request id sent again with another request is refused, not answered from
-- the record.  Rows recorded before this step have none (NULL) and replay as
-- they did.  "Anchor" and "HistoryDB" may share one schema, and so this
-- table: the second to migrate finds the column there.
ALTER TABLE BlrRequestLog ADD COLUMN IF NOT EXISTS digest TEXT
