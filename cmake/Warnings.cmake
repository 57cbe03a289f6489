# Common flags for every target of the project (linked as an INTERFACE library).
add_library(vantorel_warnings INTERFACE)
target_compile_options(vantorel_warnings INTERFACE -Wall -Wextra -Wno-unused-parameter)
