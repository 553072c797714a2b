-- wrk script: GET random tiles from a list of "z/y/x" lines (TILE_LIST), as the
-- server's tile route (TILE_STYLE=marolin) or as static files (TILE_STYLE=static).
local tiles = {}
local style = os.getenv("TILE_STYLE") or "marolin"
-- The local server answers only requests that name it as their host.
if style ~= "static" then
  wrk.headers["Host"] = "127.0.0.2:9999"
end

function init(args)
  for line in io.lines(os.getenv("TILE_LIST")) do
    tiles[#tiles + 1] = line
  end
  math.randomseed(os.time() + tonumber(tostring(tiles):match("0x(%x+)") or "0", 16) % 100000)
end

function request()
  local t = tiles[math.random(#tiles)]
  if style == "static" then
    return wrk.format("GET", "/" .. t .. ".png")
  end
  return wrk.format("GET", "/getTile/A1/" .. t)
end

function done(summary, latency, requests)
  local secs = summary.duration / 1e6
  io.write(string.format("RESULT %.0f %d %d %d %d %d %d %d\n",
    summary.requests / secs, latency:percentile(50), latency:percentile(90),
    latency:percentile(99), latency:percentile(99.9), latency.max,
    summary.errors.connect + summary.errors.read + summary.errors.write + summary.errors.timeout,
    summary.errors.status))
end
