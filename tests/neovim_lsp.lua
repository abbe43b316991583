-- Driven by neovim_lsp.py: Neovim, configured as the README says, edits
-- VIDERAV_TEXT; what it shows at each step goes to VIDERAV_OUT as JSON.
local out = {}
local published = {}
local show = vim.lsp.handlers["textDocument/publishDiagnostics"]
vim.lsp.handlers["textDocument/publishDiagnostics"] = function(err, result, ctx, config)
  published[result.uri] = #result.diagnostics
  return show(err, result, ctx, config)
end

local function shown(buf)
  local items = {}
  for _, d in ipairs(vim.diagnostic.get(buf)) do
    table.insert(items, { lnum = d.lnum, col = d.col, end_lnum = d.end_lnum, end_col = d.end_col,
      severity = d.severity, code = d.code, source = d.source, message = d.message })
  end
  table.sort(items, function(a, b) return a.lnum < b.lnum or (a.lnum == b.lnum and a.col < b.col) end)
  return items
end

local function step(name, buf, done)
  out[name .. "_waited"] = vim.wait(10000, function() return done(shown(buf)) end, 10)
  out[name] = shown(buf)
end

vim.cmd("edit " .. vim.fn.fnameescape(os.getenv("VIDERAV_TEXT")))
local buf = vim.api.nvim_get_current_buf()
local uri = vim.uri_from_bufnr(buf)
step("opened", buf, function(d) return #d > 0 end)

-- An edit, never saved: the comma goes, a hyphen comes after the X.
local line = vim.api.nvim_buf_get_lines(buf, 0, 1, false)[1]
vim.api.nvim_buf_set_lines(buf, 0, 1, false, { (line:gsub(",", "")) .. "-" })
step("edited", buf, function(d) return #d > 0 and d[#d].message:find("'-'", 1, true) ~= nil end)

local client = vim.lsp.get_active_clients({ name = "viderav" })[1]
  or vim.tbl_filter(function(c) return c.name == "viderav" end, vim.lsp.get_active_clients())[1]
client.notify("workspace/didChangeConfiguration", { settings = { viderav = { failOnRejected = true } } })
step("strict", buf, function(d)
  return #d > 0 and vim.tbl_isempty(vim.tbl_filter(function(x) return x.severity ~= 1 end, d))
end)

-- Help while writing, on a line with é before a comma: the hover on é;
-- the first quick fix there, as vim.lsp.buf.code_action asks for it (the
-- line's diagnostics sent back in byte columns) and Neovim applies it;
-- then fix-all.
vim.api.nvim_buf_set_lines(buf, 0, -1, false, { "Café, ＡＢ!", "OK" })
step("helped", buf, function(d) return #d > 0 and d[1].message:find("U+00E9", 1, true) ~= nil end)
vim.api.nvim_win_set_cursor(0, { 1, 3 })
local function ask(method, params)
  local answers = vim.lsp.buf_request_sync(buf, method, params, 5000) or {}
  for _, answer in pairs(answers) do
    if answer.result then return answer.result end
  end
end
local hover = ask("textDocument/hover", vim.lsp.util.make_position_params())
out.hover = hover and hover.contents.value
local function apply(only)
  local params = vim.lsp.util.make_range_params()
  params.context = { diagnostics = vim.lsp.diagnostic.get_line_diagnostics(buf), only = only }
  local actions = ask("textDocument/codeAction", params) or {}
  if actions[1] then vim.lsp.util.apply_workspace_edit(actions[1].edit, client.offset_encoding) end
  return vim.api.nvim_buf_get_lines(buf, 0, -1, false)
end
out.fixed = apply(nil)
out.all_fixed = apply({ "source.fixAll" })

vim.cmd("bwipeout!")
out.closed_waited = vim.wait(10000, function() return published[uri] == 0 end, 10)
out.modified_on_disk = vim.fn.readfile(os.getenv("VIDERAV_TEXT"), "b")

local f = io.open(os.getenv("VIDERAV_OUT"), "w")
f:write(vim.fn.json_encode(out))
f:close()
vim.cmd("qall!")
