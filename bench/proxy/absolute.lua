-- Sends every request in absolute form, as a client of a forward proxy does.
-- The origin URL comes from the environment (set by run.sh).
local target = os.getenv("BENCH_TARGET")
local host = target:match("^http://([^/]+)")
wrk.method = "GET"
wrk.path = target
wrk.headers["Host"] = host
