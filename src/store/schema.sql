-- The order cache: one row per order delivered to the operator back end.
-- order_type 0: invalid or received order; 1: refund order.
-- No unique key: a batch that repeats an order must still be recorded as a whole.
-- The index covers every column, so a lookup is one O(log n) index search and never reads the table.
-- Keep the default rollback journal: each call opens its own connection, and WAL would be set up and torn down
-- at every open and last close.
CREATE TABLE IF NOT EXISTS cache_order (
    order_type INTEGER NOT NULL,
    parent_order_id TEXT NOT NULL,
    child_order_id TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS cache_order_lookup ON cache_order (order_type, parent_order_id, child_order_id);
-- How far incremental sync has read each account's orders of one status by update time (Unix seconds), and when
-- its last pass over the whole window was. The program adds this table to a cache file that lacks it.
CREATE TABLE IF NOT EXISTS order_watermark (
    account TEXT NOT NULL,
    tk_status INTEGER NOT NULL,
    updated_to INTEGER NOT NULL,
    full_at INTEGER NOT NULL,
    PRIMARY KEY (account, tk_status)
);
