-- wrk_report.lua: makes wrk end its report with one machine-readable line for bench/load_run.sh:
--   OSTREL <requests> <duration us> <p50 us> <p99 us> <socket errors> <non-2xx answers>
-- where socket errors adds up connect, read, write and timeout errors. wrk counts non-2xx
-- answers (node_exporter's 503 beyond its limit of parallel scrapes) among its requests; the
-- load run leaves them out of the requests served.
done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format("OSTREL %d %d %.0f %.0f %d %d\n", summary.requests, summary.duration,
                         latency:percentile(50), latency:percentile(99),
                         e.connect + e.read + e.write + e.timeout, e.status))
end
