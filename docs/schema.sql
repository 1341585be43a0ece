-- Example schema for the Vexal Capture database export. The program does not create
-- these tables; create them once in the database named in "Einstellungen" (for
-- example: mariadb -u root vexal < docs/schema.sql). InnoDB is needed: akteth and
-- aktrouter are rewritten inside one transaction each, so readers never see them
-- empty or half filled, and traffic rows are committed before the counters reset.
-- The last table, vexal_export_run, lets the export write each interval exactly once.
--
-- Several collectors can share one database (or one Galera cluster): every row carries
-- the collector's name (setting "Kollektor" in vexal-extra.ini, the host name when
-- empty), and each collector rewrites only its own rows of akteth and aktrouter. Every
-- table has a primary key, as a cluster with wsrep_mode=REQUIRED_PRIMARY_KEY demands.
--
-- A database made before the column collector existed keeps working as one collector's
-- (the program says so once). To share it, add the column once; the snapshot tables
-- are rewritten by every run anyway, so they are emptied first:
--   ALTER TABLE traffic ADD COLUMN collector VARCHAR(64) NOT NULL DEFAULT '' AFTER id;
--   DELETE FROM akteth;
--   ALTER TABLE akteth ADD COLUMN collector VARCHAR(64) NOT NULL DEFAULT '' FIRST,
--       DROP KEY by_ip, ADD PRIMARY KEY (collector, ip);
--   DELETE FROM aktrouter;
--   ALTER TABLE aktrouter ADD COLUMN collector VARCHAR(64) NOT NULL DEFAULT '' FIRST,
--       ADD PRIMARY KEY (collector, ip);

-- History: one row per active local user and export run, with the octets of the
-- period. In the detailed export (the default) porttraffic holds the same octets per
-- remote port as "port:octets" entries joined by ","; in the packed export it is empty.
CREATE TABLE IF NOT EXISTS traffic (
    id          BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
    collector   VARCHAR(64)  NOT NULL DEFAULT '',  -- the collector that counted it
    zeit        TIME NOT NULL,              -- server time of the run
    datum       DATE NOT NULL,              -- server date of the run
    device      VARCHAR(64)  NOT NULL,      -- interface of the client ("eth1")
    uloktets    BIGINT NOT NULL,            -- octets sent in the period
    dloktets    BIGINT NOT NULL,            -- octets received in the period
    porttraffic MEDIUMTEXT   NOT NULL,
    mac         VARCHAR(64)  NOT NULL,      -- as the router announces it
    ip          VARCHAR(64)  NOT NULL,
    KEY by_day (datum, ip)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Snapshot of the users at the last run (hidden addresses left out).
CREATE TABLE IF NOT EXISTS akteth (
    collector   VARCHAR(64)  NOT NULL DEFAULT '',  -- the collector that sees the user
    name        VARCHAR(255) NOT NULL,      -- from the MAC name list, "-" until named
    ip          VARCHAR(64)  NOT NULL,
    mac         VARCHAR(64)  NOT NULL,
    status      VARCHAR(4)   NOT NULL,      -- "1" online, "0" offline
    lasttraffic BIGINT NOT NULL,            -- age of the last flow in 1/75,000 day (1.152 s)
    PRIMARY KEY (collector, ip)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Snapshot of the routers at the last run.
CREATE TABLE IF NOT EXISTS aktrouter (
    collector   VARCHAR(64)  NOT NULL DEFAULT '',  -- the collector the router exports to
    ip          VARCHAR(64)  NOT NULL,
    flowsequenz VARCHAR(20)  NOT NULL,      -- last flow sequence
    lastflow    VARCHAR(8)   NOT NULL,      -- time of day of the last new sequence
    ploss       BIGINT NOT NULL,            -- flows lost since first contact
    PRIMARY KEY (collector, ip)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- The program's own: one mark per export run that wrote traffic rows, written in the
-- same transaction as those rows. When the answer to a COMMIT is lost (a dropped
-- connection, a time-out), the next run looks the mark up: there, the rows are in
-- traffic and the counters go down; not there, the run claims the id (verworfen = 1),
-- so that COMMIT can never take effect later, and sends the octets again. So each
-- interval is written exactly once. Marks older than 7 days are removed by the
-- program. Without this table the export runs as before, but a lost COMMIT answer
-- can then write an interval twice.
CREATE TABLE IF NOT EXISTS vexal_export_run (
    id          CHAR(36) NOT NULL PRIMARY KEY,  -- random id of the run
    zeit        DATETIME NOT NULL,              -- server time of the run
    verworfen   TINYINT NOT NULL DEFAULT 0,     -- 1: a later run found it not committed
    KEY by_zeit (zeit)
) ENGINE=InnoDB DEFAULT CHARSET=ascii;
