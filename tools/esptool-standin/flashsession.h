#ifndef FLASHSESSION_H
#define FLASHSESSION_H

#include <string>
#include <vector>

// A write_flash session as esptool v4 prints it into a pipe, for the images
// named on the command line: everything on stdout, fatal errors included;
// stderr only for a command line it refuses, as Python's argparse does.
class FlashSession
{
public:
    void setFast(bool fast);
    void setFailure(const std::string &failure);

    // Returns the exit code: 0, 2 for usage and fatal errors, 1 for a lost link.
    int run(const std::vector<std::string> &arguments);

private:
    struct Image
    {
        long long offset = 0;
        std::string path;
        long long size = 0;
    };

    bool parse(const std::vector<std::string> &arguments);
    int usageError(const std::string &message) const;
    int fatalError(const std::string &message) const;
    int lostLink() const;
    void say(const std::string &line) const;
    void pause(int milliseconds) const;

    bool m_fast = false;
    std::string m_failure;
    std::string m_chip;
    std::string m_port;
    std::vector<Image> m_images;
    std::string m_parseError;
};

#endif // FLASHSESSION_H
