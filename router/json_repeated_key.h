#pragma once

#include <QtGlobal>

#include <cstddef>
#include <vector>

// Which of several top-level "modem_id" members QJsonDocument (Qt 5.15)
// reports, for the bodies that name it more than once.
//
// QJsonDocument does not simply keep the last one. At the end of each object
// it sorts the members by name with std::sort, which is not stable beyond 16
// members, keeps the last of each run of equal names, and finds "modem_id" by
// binary search. Its name comparison is not even a consistent order: names
// with an escape are stored and compared as UTF-16 code units, names without
// as bytes (stopping at a NUL byte), and one of each as code points. So which
// member it finds depends on every name in the object. This takes the names in
// the order they are written and repeats those steps with the same comparison:
// memory linear in the body, O(n log n) name comparisons for n members.
class RepeatedKeyLookup {
public:
    // body: the start of the text that the names lie in.
    explicit RepeatedKeyLookup(const char* body);

    // The next top-level member: its name as the bytes between its quotes, as
    // written (json_decision has checked that they form a valid string).
    void add_member(const char* name, size_t size);

    // The device that the value of the latest member gives, when its name
    // reads "modem_id".
    void set_modem_id(qint32 modem_id);

    // The device of the "modem_id" member that QJsonDocument finds; -1 when it
    // finds none.
    qint32 modem_id() const;

private:
    struct Name {
        size_t at;          // into the body, or into units_ when utf16
        size_t size;        // in bytes, or in code units when utf16
        bool utf16;         // written with an escape: decoded to UTF-16
        qint32 modem_id;    // the device its value gives, when it reads "modem_id"
    };

    int compare(const Name& a, const Name& b) const;
    int compare_with_modem_id(const Name& name) const;

    const unsigned char* body_;
    std::vector<Name> names_;
    std::vector<char16_t> units_; // the decoded names, one after another
};
