// Input: the information file, the command file with its parameter lines,
// the grid generator's run, and the grid it leaves behind.
#pragma once

#include <string>
#include <vector>

#include "input/grid_format.h"
#include "model/model_state.h"

namespace torla {

inline constexpr const char* kGridFile = "torla_grid.tmp";
inline constexpr const char* kGridLockFile = "torla_grid.tmp.lock";
inline constexpr const char* kGeneratorName = "knotline";
inline constexpr const char* kGeneratorTag = "tor-la";
inline constexpr const char* kLockSuffix = ".lock";    // the result file's lock: <result>.lock
inline constexpr const char* kRecordSuffix = ".json";  // the run record: <result>.json
inline constexpr const char* kPartSuffix = ".part";    // result and log while the run writes them
inline constexpr const char* kFailedSuffix =
    ".failed";  // log of a failed run beside an earlier run's

// Reads the three lines of the information file (command file, result
// file, generator prefix) into s.names and forms the log file's name.
// Stops the run with status 1 on a file it cannot use.
void read_information_file(ModelState& s, const std::string& path);

// Applies one line of a global-parameter section (as read, line end
// included) to the record and prints what apply_parameter reports
// (input/command_file.h). Never stops the run.
void match_parameter(RunParameters& p, const std::string& line);

// torla's start-up on the command file s.names.command_file: reads it with
// load_command_file (input/command_file.h), prints what the reader
// recorded, fills the parameters, the names and the run constants, and
// writes the generator input file. Returns the number of input points; a
// refusal stops the run with its status (4).
int16_t read_command_file(ModelState& s);

// Runs prefix + "knotline" with the arguments "torla_grid.tmp" "tor-la",
// without a shell, and waits; any failure stops the run with status 1.
void run_grid_generator(const ModelState& s);

// The grid file as the generator left it: n rows of 19 floats, and whether
// more bytes followed them. Reading it deletes it; a file shorter than its
// count stops the run with status 1.
struct GridFile {
    FloatRows rows;
    bool trailing_data = false;
};
GridFile take_grid_file(int16_t n);

// Fills the geometry, the layer variables and U from the grid rows, after
// refusing (status 1, grid point and column named) any value the model
// cannot use; sets the smallest cell length of cells 1 ... n-1 and returns
// the geometry table of the result header.
std::vector<GeometryRow> read_grid_file(ModelState& s, const GridFile& grid);

// Exclusive advisory lock on "torla_grid.tmp.lock" in the working directory,
// held for the whole grid phase (generator input written, generator run,
// grid read and deleted), so that runs sharing a directory take turns with
// the fixed temporary file name instead of reading each other's grid.
class GridLock {
public:
    GridLock();  // waits for the lock; stops the run when it cannot be had
    ~GridLock();
    GridLock(const GridLock&) = delete;
    GridLock& operator=(const GridLock&) = delete;
    void release();

private:
    int fd_ = -1;
};

// Exclusive lock on "<result>.lock", taken at once or not at all and held
// for the whole run, so that a second run with the same result file
// refuses to start instead of writing the same file (status 1).
class ResultLock {
public:
    explicit ResultLock(const std::string& result_file);
    ~ResultLock();
    ResultLock(const ResultLock&) = delete;
    ResultLock& operator=(const ResultLock&) = delete;

private:
    int fd_ = -1;
};

// The files of a run must be files of their own: the information file, the
// command file, the result file, the log, the run record, the temporary
// grid file and both locks differ by name and, where they exist, by device
// and inode. The outputs must be regular files where they exist, and the
// temporary grid file and the locks must not be symbolic links. Checked
// before anything is written; a refusal names the files (status 1).
void check_run_files(const ModelState& s, const std::string& information_file);

}  // namespace torla
