# Debian reads the changelog.gz of a native package as a Debian changelog, so
# the one kept in CHANGELOG.md is rewritten in that format: an entry for each
# "## VERSION — YYYY-MM-DD" heading, and each paragraph or "- " list item under
# it as one "  * " item. Text before the first such heading is left out: the
# file's preamble, and an "## Unreleased" section, which has no date yet.
# Backticks become double quotes. RELEASED_VAR is set to the month of the
# latest release, as "December 2026", for the manual page.
#   ridge_debian_changelog(MARKDOWN OUTPUT PACKAGE MAINTAINER RELEASED_VAR)

# "Tue, 08 Dec 2026 00:00:00 +0000" for 2026, 12, 08 (Sakamoto's weekday rule).
function(_ridge_rfc2822_date year month day out_var)
  string(REGEX REPLACE "^0" "" month "${month}")
  string(REGEX REPLACE "^0" "" day "${day}")
  set(offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  set(weekdays Sun Mon Tue Wed Thu Fri Sat)
  math(EXPR index "${month} - 1")
  list(GET offsets ${index} offset)
  list(GET months ${index} month_name)
  set(y ${year})
  if(month LESS 3)
    math(EXPR y "${y} - 1")
  endif()
  math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${day}) % 7")
  list(GET weekdays ${weekday} weekday_name)
  if(day LESS 10)
    set(day "0${day}")
  endif()
  set(${out_var} "${weekday_name}, ${day} ${month_name} ${year} 00:00:00 +0000" PARENT_SCOPE)
endfunction()

function(ridge_debian_changelog markdown output package maintainer released_var)
  file(READ "${markdown}" text)
  # Semicolons would split CMake lists: hide them while working line by line.
  string(ASCII 31 semicolon)
  string(REPLACE ";" "${semicolon}" text "${text}")
  string(REPLACE "`" "\"" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")

  set(result "")
  set(trailer "")  # ends the entry being read, once there is one
  set(in_item FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^## ([^ ]+) .* ([0-9]+)-([0-9]+)-([0-9]+)$")
      _ridge_rfc2822_date(${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4} date)
      if(NOT trailer STREQUAL "")
        string(APPEND result "${trailer}\n")
      else()
        math(EXPR index "${CMAKE_MATCH_3} - 1")
        set(months January February March April May June July August September October
          November December)
        list(GET months ${index} month)
        set(${released_var} "${month} ${CMAKE_MATCH_2}" PARENT_SCOPE)
      endif()
      string(APPEND result "${package} (${CMAKE_MATCH_1}) unstable${semicolon} urgency=medium\n\n")
      set(trailer "\n -- ${maintainer}  ${date}\n")
      set(in_item FALSE)
    elseif(trailer STREQUAL "")
      # The preamble.
    elseif(line STREQUAL "")
      set(in_item FALSE)
    elseif(line MATCHES "^- (.*)$")
      string(APPEND result "  * ${CMAKE_MATCH_1}\n")
      set(in_item TRUE)
    elseif(in_item)
      string(STRIP "${line}" line)
      string(APPEND result "    ${line}\n")
    else()
      string(APPEND result "  * ${line}\n")
      set(in_item TRUE)
    endif()
  endforeach()
  if(trailer STREQUAL "")
    message(FATAL_ERROR "${markdown}: no '## VERSION — YYYY-MM-DD' heading")
  endif()
  string(APPEND result "${trailer}")
  string(REPLACE "${semicolon}" ";" result "${result}")
  file(WRITE "${output}" "${result}")
endfunction()
