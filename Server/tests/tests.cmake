mireva_add_test(tst_multipart server SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_multipart.cpp
    LIBS tavrona_core)
mireva_add_test(tst_presign server SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_presign.cpp
    LIBS tavrona_core)
# Readers that are not the writer check the pyramid: tifffile (python3) and libtiff.
pkg_check_modules(LIBTIFF REQUIRED IMPORTED_TARGET libtiff-4)
mireva_add_test(tst_pyramid server SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_pyramid.cpp
    LIBS tavrona_core PkgConfig::LIBTIFF)
mireva_add_test(tst_jobs server SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_jobs.cpp
    LIBS tavrona_core)
mireva_add_test(tst_sigv4 server SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_sigv4.cpp
    LIBS tavrona_core)
mireva_add_test(tst_servercontract server SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_servercontract.cpp
    LIBS tavrona_core)
mireva_add_test(tst_serverbinary server SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_serverbinary.cpp
    LIBS tavrona_core)
add_dependencies(tst_serverbinary tavrona-server)
mireva_add_test(tst_serverjobs server SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_serverjobs.cpp
    LIBS tavrona_core)
add_dependencies(tst_serverjobs tavrona-server)
# The page is driven in headless Chromium over its DevTools protocol (a WebSocket).
find_package(Qt6 REQUIRED COMPONENTS WebSockets)
mireva_add_test(tst_serverview server SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_serverview.cpp
    LIBS tavrona_core Qt6::WebSockets)
add_dependencies(tst_serverview tavrona-server)
# The program's own service client (Api, and the ApiThread facade) against this server.
if(TARGET mireva_service AND EXISTS ${CMAKE_SOURCE_DIR}/App/service/apithread.h)
    mireva_add_test(tst_serverinterop server
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_serverinterop.cpp LIBS tavrona_core mireva_service)
endif()
mireva_add_test(tst_router server SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_router.cpp
    LIBS tavrona_core)

# Tests against real components: the S3-compatible store and the AWS SDK's signers run on
# Node.js from Server/tests/node (installed by scripts/install-deps).
find_program(MIREVA_NODE node)
set(MIREVA_NODE_DEFINITIONS MIREVA_NODE="${MIREVA_NODE}"
    MIREVA_NODE_TOOLS="${CMAKE_CURRENT_LIST_DIR}/node")
mireva_add_test(tst_sigv4_sdk server SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_sigv4_sdk.cpp
    LIBS tavrona_core)
target_compile_definitions(tst_sigv4_sdk PRIVATE ${MIREVA_NODE_DEFINITIONS})
mireva_add_test(tst_s3client server SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_s3client.cpp
    LIBS tavrona_core Qt6::Concurrent)
target_compile_definitions(tst_s3client PRIVATE ${MIREVA_NODE_DEFINITIONS})

# A test executable run once more with other back-ends, named for them so that
# `ctest -R 'postgres|s3'` picks the runs that need PostgreSQL or the S3 store.
function(mireva_add_test_variant name executable label)
    add_test(NAME ${name} COMMAND ${executable})
    set_tests_properties(${name} PROPERTIES LABELS ${label}
        ENVIRONMENT "${MIREVA_TEST_ENV};${ARGN}" SKIP_RETURN_CODE 77
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endfunction()

mireva_add_test(tst_migrations server SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_migrations.cpp
    LIBS tavrona_core Qt6::Concurrent)
mireva_add_test_variant(tst_migrations_postgres tst_migrations server
    MIREVA_TEST_DATABASE=postgres)

mireva_add_test(tst_objectstore server SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_objectstore.cpp
    LIBS tavrona_core)
target_compile_definitions(tst_objectstore PRIVATE ${MIREVA_NODE_DEFINITIONS})
mireva_add_test_variant(tst_objectstore_s3 tst_objectstore server MIREVA_TEST_BACKENDS=postgres+s3)

# The contract tests again on PostgreSQL and the S3 store.
target_compile_definitions(tst_servercontract PRIVATE ${MIREVA_NODE_DEFINITIONS})
mireva_add_test_variant(tst_servercontract_postgres_s3 tst_servercontract server
    MIREVA_TEST_BACKENDS=postgres+s3)

# The program's own client through PostgreSQL and the S3 store.
if(TARGET tst_serverinterop)
    target_compile_definitions(tst_serverinterop PRIVATE ${MIREVA_NODE_DEFINITIONS})
    mireva_add_test_variant(tst_serverinterop_postgres_s3 tst_serverinterop server
        MIREVA_TEST_BACKENDS=postgres+s3)
endif()

# Several servers on one PostgreSQL database and one bucket.
mireva_add_test(tst_serverinstances_postgres_s3 server
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_serverinstances.cpp LIBS tavrona_core)
target_compile_definitions(tst_serverinstances_postgres_s3 PRIVATE ${MIREVA_NODE_DEFINITIONS})
add_dependencies(tst_serverinstances_postgres_s3 tavrona-server)

# The part jobs and their derived files on PostgreSQL and in the S3 store.
target_compile_definitions(tst_jobs PRIVATE ${MIREVA_NODE_DEFINITIONS})
mireva_add_test_variant(tst_jobs_postgres_s3 tst_jobs server MIREVA_TEST_BACKENDS=postgres+s3)
