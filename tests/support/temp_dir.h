// A fresh folder under the temporary folder ($TMPDIR, else /tmp), removed
// with everything in it when the object goes (Linux).
#pragma once

#include <string>

namespace talvo::test {

class TempDir {
public:
    explicit TempDir(const std::string& prefix = "talvo-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace talvo::test
