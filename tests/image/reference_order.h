#pragma once

#include "image/mot_image.h"

#include <algorithm>
#include <vector>

namespace velmora::testing {

// `ascending` as inserting each late record, in turn, before the first record
// not below it makes it: the plain reference for the load's fast ordering.
inline std::vector<SRecord> insertedOneByOne(const std::vector<SRecord>& records) {
    std::vector<SRecord> run;
    std::vector<SRecord> late;
    std::uint32_t last = 0;
    for (const SRecord& record : records) {
        if (record.address >= 0x20000) {
            continue;
        }
        if (record.address < last) {
            late.push_back(record);
        } else {
            run.push_back(record);
            last = record.address;
        }
    }
    for (const SRecord& record : late) {
        auto at = std::find_if(run.begin(), run.end(),
                               [&](const SRecord& r) { return !(r.address < record.address); });
        run.insert(at, record);
    }
    return run;
}

} // namespace velmora::testing
