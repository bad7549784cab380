# Included from CMakeLists.txt of this directory.
# The command relay channels against the failing stand-in relay. The
# singletons live once per process, so each of their cases runs alone.
add_executable(drix_relaycmd_test RelayCmdChannel_test.cpp)
target_link_libraries(drix_relaycmd_test PRIVATE velmar_drixcmd velmar_log
  GTest::gtest GTest::gtest_main Threads::Threads)
target_include_directories(drix_relaycmd_test PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_compile_definitions(drix_relaycmd_test PRIVATE CMDRELAY="$<TARGET_FILE:cmdrelay>"
  CAPQRELAY="$<TARGET_FILE:CapqRelay>" FAKECAPQTOOL="$<TARGET_FILE:fakecapqtool>")
add_dependencies(drix_relaycmd_test cmdrelay failsys CapqRelay fakecapqtool)
add_test(NAME drix_relaycmd_test.channel COMMAND drix_relaycmd_test
  --gtest_filter=RelayChannelTest.*:-RelayChannelTest.AFailedForkIsAFailedStart)
add_test(NAME drix_relaycmd_test.failedfork COMMAND drix_relaycmd_test
  --gtest_filter=RelayChannelTest.AFailedForkIsAFailedStart)
set_tests_properties(drix_relaycmd_test.failedfork PROPERTIES
  ENVIRONMENT "LD_PRELOAD=$<TARGET_FILE:failsys>;ASAN_OPTIONS=verify_asan_link_order=0")
set_tests_properties(drix_relaycmd_test.channel drix_relaycmd_test.failedfork PROPERTIES
  LABELS "drix;threaded" TIMEOUT 120)
foreach(case TheLastCloseEndsTheChannelForGood AnUnusableRelayIsReportedOnce
             TheTwoChannelsNeverWaitForEachOther)
  add_test(NAME drix_relaycmd_test.${case}
    COMMAND drix_relaycmd_test --gtest_filter=RelayCmdStubTest.${case})
  set_tests_properties(drix_relaycmd_test.${case} PROPERTIES LABELS "drix;threaded" TIMEOUT 120)
endforeach()

# The ZSD name map through its seam, and once through ADMCmdStub and the real
# AdmCmdRelay with the repository tool stand-in (a case of its own process).
add_executable(drix_zsdinfo_test ZSDInfo_test.cpp)
target_link_libraries(drix_zsdinfo_test PRIVATE velmar_drixcmd velmar_log
  GTest::gtest GTest::gtest_main Threads::Threads)
target_include_directories(drix_zsdinfo_test PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_compile_definitions(drix_zsdinfo_test PRIVATE KVREG="$<TARGET_FILE:kvreg>"
  ADMCMDRELAY="$<TARGET_FILE:AdmCmdRelay>")
add_dependencies(drix_zsdinfo_test kvreg AdmCmdRelay)
add_test(NAME drix_zsdinfo_test COMMAND drix_zsdinfo_test --gtest_filter=-ZSDInfoChannel.*)
add_test(NAME drix_zsdinfo_test.channel COMMAND drix_zsdinfo_test
  --gtest_filter=ZSDInfoChannel.*)
set_tests_properties(drix_zsdinfo_test drix_zsdinfo_test.channel PROPERTIES
  LABELS "drix" TIMEOUT 120)

# The ZSD disk sensor through its seams.
velmar_test(drix_zsddisk_test SOURCES SensorDRIXZSDDisk_test.cpp
  LIBS velmar_drixsensors velmar_drixstats velmar_sensorcore velmar_child velmar_hash
  LABELS "drix")

# The registrations of all statistics sensors.
velmar_test(drix_statregistry_test SOURCES StatSensorRegistry_test.cpp
  LIBS velmar_drixsensors velmar_drixstats velmar_sensorcore velmar_child LABELS "drix")

# End to end: the daemon with all statistics sensors for a minute, the fake
# statistics relay, AdmCmdRelay with the repository tool stand-in, and the
# test collector.
if(TARGET cvxsensors AND TARGET tallyqrelay)
  velmar_test(drix_statsensors_e2e_test SOURCES StatSensors_e2e_test.cpp
    LIBS velmar_drixsensors velmar_drixstats velmar_sensorcore velmar_child
    LABELS "drix;e2e;threaded")
  add_dependencies(drix_statsensors_e2e_test cvxsensors ipfix_collector tallyqrelay AdmCmdRelay
    kvreg)
  target_compile_definitions(drix_statsensors_e2e_test PRIVATE CVXSENSORS="$<TARGET_FILE:cvxsensors>"
    IPFIX_COLLECTOR="$<TARGET_FILE:ipfix_collector>" TALLYQRELAY="$<TARGET_FILE:tallyqrelay>"
    ADMCMDRELAY="$<TARGET_FILE:AdmCmdRelay>" KVREG="$<TARGET_FILE:kvreg>")
endif()
