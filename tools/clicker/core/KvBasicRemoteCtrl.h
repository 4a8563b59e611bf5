// The remote-control key component: key maps from a workbook, key sending
// over the serial line, and the record file (writing a recording, loading
// one into the record table).
//
// The key map workbook (.xls or .xlsx, first sheet): one heading row, then
// one row per key: column A the key's name, column B its value (decimal
// digits; a number cell or a text cell), column C its shortcut letter (may
// be empty). Blank rows are skipped.
//
// The owner (the view, or the command line) allocates the record table and
// stores it in m_pTable, and stores the serial service in m_pSerial, before
// anything else. Every member is safe to call from any thread; sending and
// the table are each guarded by a lock of their own.
#pragma once

#include "RemoteRecordTable.h"

#include <CodePage.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

class CSerialMonitorSerivce;

class CKvBasicRemoteCtrl {
public:
    CKvBasicRemoteCtrl();
    ~CKvBasicRemoteCtrl();
    CKvBasicRemoteCtrl(const CKvBasicRemoteCtrl&) = delete;
    CKvBasicRemoteCtrl& operator=(const CKvBasicRemoteCtrl&) = delete;

    tag_record_table* m_pTable = nullptr;  // the owner's record table (first member)
    int32_t m_KeyNum = 0;  // keys of the current key map (second member)
    CSerialMonitorSerivce* m_pSerial = nullptr;  // the service keys go through
    int64_t m_StartTime = 0;  // start of the recording, on now_ms()'s clock

    // Reads the key map rows of a workbook into *remote. Nonzero when the rows
    // are there: 1 to 100 keys. Zero when the file cannot be read or holds no
    // key rows or more than 100.
    int ExcelParser(const std::string& path, tag_remote* remote);
    void get_remote(tag_remote* remote) const;
    void set_remote(const tag_remote& remote);

    // Sends one key and waits for the box's answer: 0 when the box took it,
    // else a clicker::SendKeyResult. `stop`, when given, is asked while
    // waiting for the answer; true ends the wait (kSendStopped).
    int send_key(int32_t value, int port_index, const std::function<bool()>& stop = {});

    // Mode 1 creates the record file at `path` (nonzero on success); mode 0
    // closes it.
    int open_key_map_file(int mode, const std::string& path);
    // Appends a record to the table and writes the one before it, now that
    // its pause is known (the time since it was added, or since m_StartTime).
    // Zero when no record file is open or the table is full.
    int add_key(int32_t value, const std::string& name);
    // Appends `line` (the closing line) to the record file.
    int write_last_line(const std::string& line);
    // Fills the record table from a record file, finding each key in the
    // current key map. Zero (and last_error()) when the file cannot be read.
    int load_key_map(const std::string& path);

    // The table lock: held by add_key, and by the owner while it edits the
    // table (ending a recording).
    std::recursive_mutex& table_mutex() { return m_tableMutex; }
    // The reason of the last failure of ExcelParser, open_key_map_file or
    // load_key_map.
    std::string last_error() const;

    // The clock of the recording's timing (steady, ms); tests replace it.
    std::function<int64_t()> now_ms;
    // Text of records is in the box's code page.
    void set_code_page(const kv::CodePage& cp) { m_codePage = cp; }

private:
    int32_t find_key(const std::string& name, const std::string& token) const;
    bool write_text(const std::string& utf8);
    void set_error(const std::string& e);

    mutable std::mutex m_mapMutex;
    tag_remote m_remote;
    std::mutex m_sendMutex;
    std::recursive_mutex m_tableMutex;
    FILE* m_file = nullptr;
    int64_t m_lastKeyTime = 0;
    kv::CodePage m_codePage;
    mutable std::mutex m_errorMutex;
    std::string m_error;
};
