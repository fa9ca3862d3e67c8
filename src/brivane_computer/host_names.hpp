// Names of the imports (the host's modules bound in the namespace), their
// members and the built-ins that the module uses.
#pragma once

#include "names.hpp"

namespace brivane::host {

// The imports, in the order the module body binds them.
inline constinit Name os{"os"};
inline constinit Name clr{"clr"};
inline constinit Name ctypes{"ctypes"};
inline constinit Name pythoncom{"pythoncom"};
inline constinit Name json{"json"};
inline constinit Name threading{"threading"};
inline constinit Name shutil{"shutil"};
inline constinit Name tempfile{"tempfile"};
inline constinit Name uuid{"uuid"};

// os and os.path
inline constinit Name path{"path"};
inline constinit Name name{"name"};
inline constinit Name getcwd{"getcwd"};
inline constinit Name getcwdb{"getcwdb"};
inline constinit Name abspath{"abspath"};
inline constinit Name isabs{"isabs"};
inline constinit Name fspath{"fspath"};
inline constinit Name fsdecode{"fsdecode"};
inline constinit Name dunder_fspath{"__fspath__"};
inline constinit Name sep{"sep"};
inline constinit Name altsep{"altsep"};
inline constinit Name split{"split"};
inline constinit Name islink{"islink"};
inline constinit Name isjunction{"isjunction"};
inline constinit Name exists{"exists"};
inline constinit Name isdir{"isdir"};
inline constinit Name isfile{"isfile"};
inline constinit Name join{"join"};  // os.path.join, and Thread.join
inline constinit Name dirname{"dirname"};
inline constinit Name basename{"basename"};
inline constinit Name splitext{"splitext"};
inline constinit Name listdir{"listdir"};
inline constinit Name makedirs{"makedirs"};
inline constinit Name remove{"remove"};
inline constinit Name replace{"replace"};
inline constinit Name mkdir{"mkdir"};
inline constinit Name rmdir{"rmdir"};
inline constinit Name chdir{"chdir"};

// the other imports
inline constinit Name load{"load"};
inline constinit Name CDLL{"CDLL"};
inline constinit Name AddReference{"AddReference"};
inline constinit Name CoInitialize{"CoInitialize"};
inline constinit Name CoUninitialize{"CoUninitialize"};
inline constinit Name Thread{"Thread"};
inline constinit Name target{"target"};
inline constinit Name args{"args"};
inline constinit Name daemon{"daemon"};
inline constinit Name start{"start"};
inline constinit Name ident{"ident"};
inline constinit Name Event{"Event"};
inline constinit Name wait{"wait"};
inline constinit Name copy{"copy"};
inline constinit Name copytree{"copytree"};
inline constinit Name rmtree{"rmtree"};
inline constinit Name dirs_exist_ok{"dirs_exist_ok"};
inline constinit Name gettempdir{"gettempdir"};
inline constinit Name uuid4{"uuid4"};
inline constinit Name lower{"lower"};
inline constinit Name close{"close"};
inline constinit Name append{"append"};
inline constinit Name encoding{"encoding"};
inline constinit Name endswith{"endswith"};
inline constinit Name enter{"__enter__"};
inline constinit Name exit{"__exit__"};
inline constinit Name add_note{"add_note"};

// built-ins, which the module namespace may shadow
inline constinit Name print{"print"};
inline constinit Name open{"open"};
inline constinit Name int_{"int"};
inline constinit Name import{"__import__"};

}  // namespace brivane::host
