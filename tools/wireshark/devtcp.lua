-- SPDX-License-Identifier: MIT
-- Wireshark dissector for devtcp, the device link protocol between a device and its
-- device agent.
--
-- Frames lie back to back on one TCP stream: an 8-byte little-endian header (session id,
-- type, flags, payload length), an optional peer section (flags bit 0) and the data.
-- Frames split across segments are reassembled, several frames in a segment are all
-- decoded. A frame's direction comes from the agent's port (preference "devtcp.port",
-- default 8800; on another port chosen with "Decode As", that port), so that type 2
-- decodes as a login request (device to agent) or a login reply (agent to device).
--
-- Install: copy to the personal Lua plugins folder, or run
--   tshark -X lua_script:devtcp.lua ...

local devtcp = Proto("devtcp", "Device link protocol")

local HEAD_SIZE = 8
local MAX_PAYLOAD = 2040 -- a frame is at most 2048 bytes
local FLAG_PEER = 0x01
local TEXT_FIELD = 64

local T_KEEPALIVE, T_ERROR, T_LOGIN, T_LOGOUT = 0, 1, 2, 3
local T_REDIRECT, T_TIME, T_DATA, T_STR, T_WAKE = 4, 5, 6, 7, 14

local type_names = {
    [T_KEEPALIVE] = "Keepalive", [T_ERROR] = "Error", [T_LOGIN] = "Login",
    [T_LOGOUT] = "Logout", [T_REDIRECT] = "Redirect", [T_TIME] = "Time",
    [T_DATA] = "Data", [T_STR] = "String", [T_WAKE] = "Wake",
}

local pf = {
    direction = ProtoField.uint8("devtcp.direction", "Direction", base.DEC,
                                 {[0] = "agent to device", [1] = "device to agent"}),
    session = ProtoField.uint32("devtcp.session", "Session id", base.DEC),
    type = ProtoField.uint8("devtcp.type", "Type", base.DEC, type_names),
    flags = ProtoField.uint8("devtcp.flags", "Flags", base.HEX),
    flag_peer = ProtoField.bool("devtcp.flags.peer", "Peer section", 8, nil, FLAG_PEER),
    length = ProtoField.uint16("devtcp.length", "Payload length", base.DEC),
    peer_reserved = ProtoField.uint16("devtcp.peer.reserved", "Reserved", base.HEX),
    peer_length = ProtoField.uint16("devtcp.peer.length", "Peer length", base.DEC),
    peer = ProtoField.string("devtcp.peer", "Peer"),
    peer_padding = ProtoField.bytes("devtcp.peer.padding", "Padding"),
    user = ProtoField.string("devtcp.login.user", "User"),
    password = ProtoField.string("devtcp.login.password", "Password"),
    version = ProtoField.string("devtcp.login.version", "Version"),
    result = ProtoField.int32("devtcp.login.result", "Result", base.DEC),
    address = ProtoField.string("devtcp.address", "Agent address"),
    time = ProtoField.string("devtcp.time", "Time"),
    error = ProtoField.int32("devtcp.error", "Error code", base.DEC),
    data = ProtoField.bytes("devtcp.data", "Data"),
    text = ProtoField.string("devtcp.text", "Text"),
}
devtcp.fields = pf

local ex = {
    peer_overrun = ProtoExpert.new("devtcp.peer_overrun", "Peer section longer than the payload",
                                   expert.group.MALFORMED, expert.severity.ERROR),
    oversize = ProtoExpert.new("devtcp.oversize", "Payload length above 2040",
                               expert.group.MALFORMED, expert.severity.ERROR),
    short = ProtoExpert.new("devtcp.short", "Data shorter than the type's layout",
                            expert.group.MALFORMED, expert.severity.ERROR),
}
devtcp.experts = ex

devtcp.prefs.port = Pref.uint("Agent TCP port", 8800,
    "TCP port of the device agent: frames sent to it go from device to agent")

-- The text of a fixed-size field: its bytes up to the first NUL.
local function text_of(range)
    local raw = range:raw()
    local nul = raw:find("\0", 1, true)
    return nul and raw:sub(1, nul - 1) or raw
end

local function add_text(tree, field, tvb, offset, size)
    local s = text_of(tvb(offset, size))
    tree:add(field, tvb(offset, size), s)
    return s
end

local function to_agent(pinfo)
    local server = devtcp.prefs.port
    if pinfo.src_port ~= server and pinfo.dst_port ~= server then
        server = pinfo.match_uint -- the port that "Decode As" matched
    end
    return pinfo.dst_port == server
end

-- Data bytes that each type's layout needs. Error, redirect and time have a layout only
-- from the agent; a login request needs 256 bytes, a login reply 132.
local function layout_size(t, upstream)
    if t == T_LOGIN then return upstream and 256 or 132 end
    if t == T_STR then return 1 end
    if upstream then return nil end
    if t == T_ERROR then return 4 end
    if t == T_REDIRECT or t == T_TIME then return TEXT_FIELD end
end

-- Decodes the data of a frame of type `t`; returns a summary for the Info column.
local function dissect_data(tvb, tree, t, upstream, off, size)
    local name = type_names[t] or ("Type " .. t)
    if t == T_LOGIN then name = upstream and "Login request" or "Login reply" end
    local need = layout_size(t, upstream)
    if need and size < need then
        tree:add_proto_expert_info(ex.short,
            string.format("%s: %d data bytes, its layout needs %d", name, size, need))
        if size > 0 then tree:add(pf.data, tvb(off, size)) end
        return name .. " [short]"
    end
    if t == T_LOGIN and upstream then
        local user = add_text(tree, pf.user, tvb, off, 128)
        add_text(tree, pf.password, tvb, off + 128, 64)
        local version = add_text(tree, pf.version, tvb, off + 192, 64)
        return string.format("%s user=%s version=%s", name, user, version)
    elseif t == T_LOGIN then
        local result = tvb(off, 4):le_int()
        tree:add_le(pf.result, tvb(off, 4)):append_text(result == 0 and " (accepted)" or " (refused)")
        local addr = add_text(tree, pf.address, tvb, off + 4, TEXT_FIELD)
        add_text(tree, pf.time, tvb, off + 68, TEXT_FIELD)
        return string.format("%s result=%d%s", name, result, addr ~= "" and " address=" .. addr or "")
    elseif need == 4 then
        tree:add_le(pf.error, tvb(off, 4))
        return name .. " code=" .. tvb(off, 4):le_int()
    elseif need == TEXT_FIELD then
        return name .. " " .. add_text(tree, t == T_REDIRECT and pf.address or pf.time,
                                       tvb, off, TEXT_FIELD)
    elseif t == T_STR then
        return string.format("%s %q", name, add_text(tree, pf.text, tvb, off, size))
    end
    if size > 0 then tree:add(pf.data, tvb(off, size)) end
    return (t == T_DATA or size > 0) and string.format("%s len=%d", name, size) or name
end

local function dissect_frame(tvb, pinfo, tree)
    local session = tvb(0, 4):le_uint()
    local t = tvb(4, 1):uint()
    local flags = tvb(5, 1):uint()
    local length = tvb(6, 2):le_uint()
    local upstream = to_agent(pinfo)

    local item = tree:add(devtcp, tvb())
    local dir = item:add(pf.direction, upstream and 1 or 0)
    dir:set_generated()
    item:add_le(pf.session, tvb(0, 4))
    item:add(pf.type, tvb(4, 1))
    local fl = item:add(pf.flags, tvb(5, 1))
    fl:add(pf.flag_peer, tvb(5, 1))
    local len_item = item:add_le(pf.length, tvb(6, 2))
    if length > MAX_PAYLOAD then
        len_item:add_proto_expert_info(ex.oversize, string.format(
            "Payload length %d above %d: a receiver skips this frame", length, MAX_PAYLOAD))
    end

    local off, size, peer = HEAD_SIZE, length, nil
    local summary
    if bit.band(flags, FLAG_PEER) ~= 0 then
        local plen = length >= 4 and tvb(10, 2):le_uint() or nil
        local padded = plen and bit.band(plen + 3, bit.bnot(3))
        local section = item:add(tvb(8, math.min(length, 4 + (padded or 0))), "Peer section")
        if length >= 2 then section:add_le(pf.peer_reserved, tvb(8, 2)) end
        if plen then section:add_le(pf.peer_length, tvb(10, 2)) end
        if not plen or 4 + padded > length then
            section:add_proto_expert_info(ex.peer_overrun, string.format(
                "Peer section needs %s bytes, payload has %d",
                plen and tostring(4 + padded) or "at least 4", length))
            summary = (type_names[t] or "Type " .. t) .. " [malformed peer section]"
        else
            peer = add_text(section, pf.peer, tvb, 12, plen)
            if padded > plen then section:add(pf.peer_padding, tvb(12 + plen, padded - plen)) end
            off, size = 12 + padded, length - 4 - padded
        end
    end
    summary = summary or dissect_data(tvb, item, t, upstream, off, size)
    if peer then summary = summary .. (peer ~= "" and " peer=" .. peer or ' peer=""') end
    summary = string.format("%s %s (session %d)", upstream and "D>A" or "A>D", summary, session)
    item:append_text(": " .. summary)

    -- Several frames in one segment share the Info column.
    pinfo.cols.protocol = "DEVTCP"
    if pinfo.private.devtcp_info then
        pinfo.cols.info:append(" | " .. summary)
    else
        pinfo.cols.info = summary
        pinfo.private.devtcp_info = "1"
    end
    return tvb:len()
end

local function frame_length(tvb, pinfo, offset)
    return HEAD_SIZE + tvb(offset + 6, 2):le_uint()
end

function devtcp.dissector(tvb, pinfo, tree)
    dissect_tcp_pdus(tvb, tree, HEAD_SIZE, frame_length, dissect_frame, true)
    return tvb:len()
end

local tcp_port = DissectorTable.get("tcp.port")
local registered_port

local function register_port()
    if registered_port then tcp_port:remove(registered_port, devtcp) end
    registered_port = devtcp.prefs.port
    tcp_port:add(registered_port, devtcp)
end

devtcp.prefs_changed = register_port
register_port()
