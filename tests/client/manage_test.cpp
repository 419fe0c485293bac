// Creating, deleting and listing projects, datasets and indexes against the
// fake service: the bodies it receives and every console line, byte for byte.
#include <functional>
#include <optional>

#include "support/client_fixture.h"

using namespace rest_client;
using namespace test_support;
using fake::Reply;

namespace {

const std::string kBorder = std::string(32, '=') + "\n";
const std::string kLimitLine =
    "\033[31m[Tarvo] Request limit reached, please try again later. If you are inserting "
    "multiple vectors, please use INSERT_VECTOR_BATCH.\033[0m\n";
const std::string kTooMany = "Too many operations in a short time period!";

// The library's message for an answer that does not begin like JSON.
std::string not_json(char first) {
    return std::string(
               "[json.exception.parse_error.101] parse error at line 1, column 1: syntax "
               "error while parsing value - invalid literal; last read: '") +
           first + "'";
}

// `levels` nested empty arrays.
std::string nested(size_t levels) { return std::string(levels, '[') + std::string(levels, ']'); }

// The parse error for an answer whose bracket at `byte` (counted from 1)
// opens a level past the 1000 the client reads.
std::string too_deep(size_t byte) {
    return "[json.exception.parse_error.101] parse error at byte " + std::to_string(byte) +
           ": syntax error - JSON nested deeper than 1000 levels";
}

struct Case {
    std::string name;
    std::function<bool()> call;
    std::string path;            // endpoint path
    std::optional<Reply> reply;  // none: the service's default answer
    std::string body;            // the body sent; empty: nothing may be sent
    std::string err;
    std::string out;
    bool result;
};

class ManageTest : public ClientTest {
   protected:
    void run(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            record.timestamps.clear();
            service->clear_log();
            if (c.reply) service->push("/api" + c.path, *c.reply);
            bool result = !c.result;
            Output o = capture([&] { result = c.call(); });
            EXPECT_EQ(o.err, c.err);
            EXPECT_EQ(o.out, c.out);
            EXPECT_EQ(result, c.result);
            if (c.body.empty()) {
                EXPECT_TRUE(service->requests().empty());
                EXPECT_TRUE(record.timestamps.empty()) << "a refused argument counted";
            } else {
                EXPECT_EQ(bodies(c.path), std::vector<std::string>{c.body});
                EXPECT_EQ(service->requests().size(), 1u);
            }
            expect_no_problems();
        }
    }
};

const std::string kCreate = info("Creating project with project_name, application: p1 autoML...");
const std::string kInit =
    info("Creating dataset with project_name, dataset_name, vector_type: p1 d1 float...");
const std::string kDelProject = info("Deleting project called with project_name: p1 ...");
const std::string kDelDataset = info("Deleting dataset with dataset_name: d1...");
const std::string kDelIndex = info("Deleting index with dataset_name and index_name: d1 i1...");

bool create() { return handle_create_project("p1", "autoML"); }
bool init(const std::string& dim = "42") { return handle_init_dataset("p1", "d1", "float", dim); }
bool del_project() { return handle_delete_project("p1"); }
bool del_dataset() { return handle_delete_dataset("p1", "d1"); }
bool del_index() { return handle_delete_index("p1", "d1", "i1"); }

TEST_F(ManageTest, CreationAndDeletionAnswers) {
    const std::string create_body =
        R"j({"application":"autoML","project_name":"p1","user_api_key":"test-key"})j";
    const std::string init_body =
        R"j({"collection_name":"d1","project_name":"p1","user_api_key":"test-key","vector_dim":42,"vector_type":"float"})j";
    const std::string project_body = R"j({"project_name":"p1","user_api_key":"test-key"})j";
    const std::string dataset_body =
        R"j({"dataset_name":"d1","project_name":"p1","user_api_key":"test-key"})j";
    const std::string index_body =
        R"j({"dataset_name":"d1","index_name":"i1","project_name":"p1","user_api_key":"test-key"})j";
    run({
        {"create ok", create, "/create_project", std::nullopt, create_body, kCreate,
         green("Create project 'p1' succeeded"), true},
        // Creation never reads the answer text.
        {"create ok, text ignored", create, "/create_project", Reply{200, "not json"}, create_body,
         kCreate, green("Create project 'p1' succeeded"), true},
        {"create refused", create, "/create_project", Reply{500, "boom"}, create_body, kCreate,
         red("Create project failed! Status: 500\nResponse: boom"), false},
        {"init ok", [] { return init(); }, "/init", Reply{200, ""}, init_body, kInit,
         green("Successfully initialized dataset 'd1'"), true},
        {"init refused", [] { return init(); }, "/init", Reply{400, "bad"}, init_body, kInit,
         red("Initialize dataset failed! Status: 400\n Response: bad"), false},

        {"delete project ok", del_project, "/delete_project", std::nullopt, project_body,
         kDelProject, green("Successfully deleted project 'p1'"), true},
        {"delete project, empty object", del_project, "/delete_project", Reply{200, "{}"},
         project_body, kDelProject, red("Failed to delete project, error code: UNKNOWN"), true},
        {"delete project refused", del_project, "/delete_project", Reply{404, "nope"}, project_body,
         kDelProject, red("Delete project failed! Status: 404\nResponse: nope"), false},
        {"delete dataset ok", del_dataset, "/delete_dataset", std::nullopt, dataset_body,
         kDelDataset, green("Successfully deleted dataset 'd1'"), true},
        {"delete dataset, success false", del_dataset, "/delete_dataset",
         Reply{200, R"j({"success":false})j"}, dataset_body, kDelDataset,
         red("Failed to delete dataset, error code: UNKNOWN"), true},
        {"delete dataset, error code", del_dataset, "/delete_dataset",
         Reply{200, R"({"error_code":"NOT_FOUND","success":false})"}, dataset_body, kDelDataset,
         red("Failed to delete dataset, error code: NOT_FOUND"), true},
        {"delete dataset, code beside success", del_dataset, "/delete_dataset",
         Reply{200, R"({"error_code":"X","success":true})"}, dataset_body, kDelDataset,
         green("Successfully deleted dataset 'd1'"), true},
        {"delete dataset refused", del_dataset, "/delete_dataset", Reply{500, ""}, dataset_body,
         kDelDataset, red("Delete dataset failed! Status: 500\nResponse: "), false},
        {"delete index ok", del_index, "/delete_index", std::nullopt, index_body, kDelIndex,
         green("Successfully deleted index 'i1' from dataset 'd1'"), true},
        {"delete index, error code", del_index, "/delete_index",
         Reply{200, R"({"error_code":"E1","success":false})"}, index_body, kDelIndex,
         red("Failed to delete index, error code: E1"), true},
        {"delete index refused", del_index, "/delete_index", Reply{503, "busy"}, index_body,
         kDelIndex, red("Delete index failed! Status: 503\nResponse: busy"), false},

        // Answers of the wrong shape end in the handler's catch line.
        {"delete answer not an object", del_index, "/delete_index", Reply{200, "[1]"}, index_body,
         kDelIndex,
         red("Error in handle_delete_index: [json.exception.type_error.306] cannot use value() "
             "with array"),
         false},
        {"delete success not boolean", del_project, "/delete_project",
         Reply{200, R"({"success":"yes"})"}, project_body, kDelProject,
         red("Error in handle_delete_project: [json.exception.type_error.302] type must be "
             "boolean, but is string"),
         false},
        {"delete error code not a string", del_dataset, "/delete_dataset",
         Reply{200, R"({"error_code":5,"success":false})"}, dataset_body, kDelDataset,
         red("Error in handle_delete_dataset: [json.exception.type_error.302] type must be "
             "string, but is number"),
         false},
        {"delete answer not JSON", del_dataset, "/delete_dataset", Reply{200, "ok"}, dataset_body,
         kDelDataset, red("Error in handle_delete_dataset: " + not_json('o')), false},
    });
}

TEST_F(ManageTest, CreationChecksSendNothing) {
    const std::string app_error =
        "Error in handle_create_project: Please set the application argument to one of "
        "'search', 'autoML', or 'both'";
    std::vector<Case> cases;
    for (const char* word : {"Search", "automl", "", "both ", "AUTOML"})
        cases.push_back({std::string("application ") + word,
                         [word] { return handle_create_project("p1", word); }, "/create_project",
                         std::nullopt, "",
                         info(std::string("Creating project with project_name, application: p1 ") +
                              word + "..."),
                         red(app_error), false});
    for (const char* word : {"search", "both"})
        cases.push_back({std::string("application ") + word,
                         [word] { return handle_create_project("p1", word); }, "/create_project",
                         std::nullopt,
                         std::string(R"j({"application":")j") + word +
                             R"j(","project_name":"p1","user_api_key":"test-key"})j",
                         info(std::string("Creating project with project_name, application: p1 ") +
                              word + "..."),
                         green("Create project 'p1' succeeded"), true});

    for (const char* dim : {"abc", "", "   ", "2147483648", "-2147483649", "- 3", "x42"})
        cases.push_back({std::string("dimension '") + dim + "'", [dim] { return init(dim); },
                         "/init", std::nullopt, "", kInit,
                         red("Error in handle_init_dataset: Vector Dim should be an integer"),
                         false});
    const std::pair<const char*, const char*> sent[] = {{" 42", "42"},
                                                        {"42abc", "42"},
                                                        {"-3", "-3"},
                                                        {"+7", "7"},
                                                        {"0", "0"},
                                                        {"\t\n9", "9"},
                                                        {"2147483647", "2147483647"},
                                                        {"-2147483648", "-2147483648"}};
    for (const auto& [dim, value] : sent)
        cases.push_back({std::string("dimension '") + dim + "'", [dim = dim] { return init(dim); },
                         "/init", std::nullopt,
                         std::string(R"j({"collection_name":"d1","project_name":"p1",)j") +
                             R"j("user_api_key":"test-key","vector_dim":)j" + value +
                             R"j(,"vector_type":"float"})j",
                         kInit, green("Successfully initialized dataset 'd1'"), true});
    run(cases);
}

// ---- listings ---------------------------------------------------------------------------

const std::string kProjects = info("Fetching projects...");
const std::string kDatasets = info("Fetching dataset info of project p1...");
const std::string kIndexes = info("Listing the indices for dataset_name: d1...");
const std::string kProjectsBody = R"j({"user_api_key":"test-key"})j";
const std::string kDatasetsBody = R"j({"project_name":"p1","user_api_key":"test-key"})j";
const std::string kIndexesBody =
    R"j({"dataset_name":"d1","project_name":"p1","user_api_key":"test-key"})j";

const std::string kOneProject = green("Sucessfully fetched 1 projects") + kBorder;
const std::string kOneDataset =
    green("Successfully fetched 1 datasets from project 'p1'") + kBorder;
const std::string kOneIndex = green("Sucessfully fetched 1 index informations") + kBorder;

bool projects() { return handle_fetch_projects(); }
bool datasets() { return handle_fetch_datasets("p1"); }
bool indexes() { return handle_list_index_infos("p1", "d1"); }

// One listing handler as the tests see it.
struct ListingUnderTest {
    std::function<bool()> call;
    std::string path;
    std::string body;
    std::string announcement;
    std::string fetched;  // the line printed before the answer is read
};
const ListingUnderTest kProjectList{projects, "/fetch_projects", kProjectsBody, kProjects,
                                    green("Projects fetch succeeded")};
const ListingUnderTest kDatasetList{datasets, "/fetch_datasets", kDatasetsBody, kDatasets,
                                    green("Datasets fetch succeeded")};
const ListingUnderTest kIndexList{indexes, "/list_index_infos", kIndexesBody, kIndexes, ""};

// A case whose status-200 answer is `answer`.
Case answered(const ListingUnderTest& l, std::string name, std::string answer, std::string out,
              bool result) {
    return {std::move(name), l.call,         l.path,          Reply{200, std::move(answer)},
            l.body,          l.announcement, l.fetched + out, result};
}

std::string dataset_lines(const std::string& name, const std::string& shape,
                          const std::string& size) {
    return kBorder + "Name: " + name + "\nDimension: " + shape + "\nSize: " + size + "\n";
}

TEST_F(ManageTest, ProjectListing) {
    const std::string bad = red("Server returned incorrect response format");
    const std::string error = "Error in handle_fetch_projects: ";
    run({
        answered(kProjectList, "empty", R"j({"projects":[]})j",
                 green("Sucessfully fetched 0 projects") + kBorder, true),
        answered(
            kProjectList, "values of several JSON types",
            R"j({"projects":[{"application":"both","project_id":7,"project_name":"p1"},)j"
            R"j({"application":null,"project_id":1.5,"project_name":"a\"b\u00e9"},)j"
            R"j({"application":["x"],"project_id":{"k":true},"project_name":false}]})j",
            green("Sucessfully fetched 3 projects") + kBorder +
                "Project Name: \"p1\"\nProject ID: 7\nApplication: \"both\"\n" + kBorder +
                "Project Name: \"a\\\"b\xc3\xa9\"\nProject ID: 1.5\nApplication: null\n" + kBorder +
                "Project Name: false\nProject ID: {\"k\":true}\nApplication: [\"x\"]\n" + kBorder,
            true),
        answered(kProjectList, "list is an object", R"j({"projects":{}})j", bad, false),
        answered(kProjectList, "list key missing", R"j({"datasets":[]})j", bad, false),
        answered(kProjectList, "answer not an object", R"j([])j", bad, false),
        answered(kProjectList, "answer not JSON", "<html>", red(error + not_json('<')), false),
        answered(kProjectList, "element missing a key",
                 R"j({"projects":[{"project_id":7,"project_name":"p1"}]})j",
                 kOneProject + "Project Name: \"p1\"\nProject ID: 7\n" +
                     red(error + "[json.exception.out_of_range.403] key 'application' not found"),
                 false),
        answered(kProjectList, "element not an object", R"j({"projects":["p1"]})j",
                 kOneProject +
                     red(error + "[json.exception.type_error.304] cannot use at() with string"),
                 false),
        {"refused", projects, "/fetch_projects", Reply{500, "err"}, kProjectsBody, kProjects,
         red("Projects fetch failed! Status: 500\nResponse: err"), false},
    });
}

TEST_F(ManageTest, DatasetListing) {
    const std::string error = "Error in handle_fetch_datasets: ";
    run({
        {"empty (the default answer)", datasets, "/fetch_datasets", std::nullopt, kDatasetsBody,
         kDatasets,
         green("Datasets fetch succeeded") +
             green("Successfully fetched 0 datasets from project 'p1'") + kBorder,
         true},
        answered(kDatasetList, "two datasets",
                 R"j({"datasets":[{"dimension":"(1000, 128)","name":"d1","size":500},)j"
                 R"j({"dimension":"(5, 2)","name":"d2","size":1048576}]})j",
                 green("Successfully fetched 2 datasets from project 'p1'") +
                     dataset_lines("d1", "(1000, 128)", "0.49 KB") +
                     dataset_lines("d2", "(5, 2)", "1.00 MB") + kBorder,
                 true),
        answered(kDatasetList, "list is a string", R"j({"datasets":"d1"})j",
                 red("Server returned incorrect response format"), false),
        // What was printed before the bad value stays; the list is not completed.
        answered(
            kDatasetList, "size is a string",
            R"j({"datasets":[{"dimension":"(1, 2)","name":"d1","size":"500"}]})j",
            kOneDataset + "Name: d1\nDimension: (1, 2)\n" +
                red(error + "[json.exception.type_error.302] type must be number, but is string"),
            false),
        answered(
            kDatasetList, "size is a boolean",
            R"j({"datasets":[{"dimension":"(1, 2)","name":"d1","size":true}]})j",
            kOneDataset + "Name: d1\nDimension: (1, 2)\n" +
                red(error + "[json.exception.type_error.302] type must be number, but is boolean"),
            false),
        answered(
            kDatasetList, "size beyond 64 bits",
            R"j({"datasets":[{"dimension":"x","name":"d1","size":1e300}]})j",
            kOneDataset + "Name: d1\nDimension: x\n" + red(error + "size out of range: 1e+300"),
            false),
        answered(kDatasetList, "second element lacks dimension",
                 R"j({"datasets":[{"dimension":"(1, 2)","name":"d1","size":0},)j"
                 R"j({"name":"d2","size":0}]})j",
                 green("Successfully fetched 2 datasets from project 'p1'") +
                     dataset_lines("d1", "(1, 2)", "0.00 KB") + kBorder + "Name: d2\n" +
                     red(error + "[json.exception.out_of_range.403] key 'dimension' not found"),
                 false),
        answered(
            kDatasetList, "name is a number",
            R"j({"datasets":[{"dimension":"(1, 2)","name":5,"size":0}]})j",
            kOneDataset +
                red(error + "[json.exception.type_error.302] type must be string, but is number"),
            false),
        answered(
            kDatasetList, "element is an array", R"j({"datasets":[[1]]})j",
            kOneDataset + red(error + "[json.exception.type_error.304] cannot use at() with array"),
            false),
        {"refused", datasets, "/fetch_datasets", Reply{401, "key"}, kDatasetsBody, kDatasets,
         red("Datasets fetch failed! Status: 401\nResponse: key"), false},
    });
}

TEST_F(ManageTest, DatasetSizesAtEveryUnit) {
    const std::pair<const char*, const char*> sizes[] = {
        {"0", "0.00 KB"},
        {"1048575", "1024.00 KB"},
        {"1048576", "1.00 MB"},
        {"1073741823", "1024.00 MB"},
        {"1073741824", "1.00 GB"},
        {"1099511627775", "1024.00 GB"},
        {"1099511627776", "1.00 TB"},
        {"2048.9", "2.00 KB"},  // a fraction is cut off first
        {"1048575.99", "1024.00 KB"},
        {"-1", "16777216.00 TB"},  // read as signed, shown as unsigned
    };
    std::vector<Case> cases;
    for (const auto& [size, shown] : sizes)
        cases.push_back(
            answered(kDatasetList, std::string("size ") + size,
                     std::string(R"j({"datasets":[{"dimension":"(1, 2)","name":"d","size":)j") +
                         size + "}]}",
                     green("Successfully fetched 1 datasets from project 'p1'") +
                         dataset_lines("d", "(1, 2)", shown) + kBorder,
                     true));
    run(cases);
}

TEST_F(ManageTest, IndexListing) {
    const std::string error = "Error in list_index_infos: ";
    run({
        answered(kIndexList, "empty", R"j({"index_infos":[]})j",
                 green("Sucessfully fetched 0 index informations") + kBorder, true),
        answered(kIndexList, "two indexes", R"j({"index_infos":[["idx1","L2"],["idx2",3]]})j",
                 green("Sucessfully fetched 2 index informations") + kBorder +
                     "Index name: \"idx1\"\nDistance type: \"L2\"\n" + kBorder +
                     "Index name: \"idx2\"\nDistance type: 3\n" + kBorder,
                 true),
        answered(kIndexList, "extra elements are not printed",
                 R"j({"index_infos":[["a","b","c"]]})j",
                 kOneIndex + "Index name: \"a\"\nDistance type: \"b\"\n" + kBorder, true),
        answered(kIndexList, "list is null", R"j({"index_infos":null})j",
                 red("Server returned incorrect response format"), false),
        answered(kIndexList, "info with one element", R"j({"index_infos":[["idx1"]]})j",
                 kOneIndex + "Index name: \"idx1\"\n" +
                     red(error + "[json.exception.out_of_range.401] array index 1 is out of range"),
                 false),
        answered(
            kIndexList, "info is an object", R"j({"index_infos":[{"name":"idx1"}]})j",
            kOneIndex + red(error + "[json.exception.type_error.304] cannot use at() with object"),
            false),
        {"refused", indexes, "/list_index_infos", Reply{500, "x"}, kIndexesBody, kIndexes,
         red("Listing index information failed! Status: 500\nResponse: x"), false},
    });
}

// Printing an element writes it out level by level; an answer nested past the
// limit is refused before anything of it is printed.
TEST_F(ManageTest, IndexListingNestedAnswers) {
    const std::string prefix = R"j({"index_infos":[[)j";  // three levels open
    auto info_answer = [&](size_t levels) { return prefix + nested(levels) + R"j(,"L2"]]})j"; };
    run({
        answered(kIndexList, "1000 levels", info_answer(997),
                 kOneIndex + "Index name: " + nested(997) + "\nDistance type: \"L2\"\n" + kBorder,
                 true),
        answered(kIndexList, "1001 levels", info_answer(998),
                 red("Error in list_index_infos: " + too_deep(prefix.size() + 998)), false),
        answered(kIndexList, "100000 levels", info_answer(100000),
                 red("Error in list_index_infos: " + too_deep(prefix.size() + 998)), false),
    });
}

// A full window refuses every handler before it sends, with its own catch prefix.
TEST_F(ManageTest, RateLimiterRefusal) {
    struct Refused {
        std::function<bool()> call;
        std::string announcement;
        std::string prefix;
    };
    const Refused calls[] = {
        {create, kCreate, "Error in handle_create_project: "},
        {[] { return init(); }, kInit, "Error in handle_init_dataset: "},
        {del_project, kDelProject, "Error in handle_delete_project: "},
        {del_dataset, kDelDataset, "Error in handle_delete_dataset: "},
        {del_index, kDelIndex, "Error in handle_delete_index: "},
        {projects, kProjects, "Error in handle_fetch_projects: "},
        {datasets, kDatasets, "Error in handle_fetch_datasets: "},
        {indexes, kIndexes, "Error in list_index_infos: "},
    };
    for (const auto& [call, announcement, prefix] : calls) {
        SCOPED_TRACE(prefix);
        record.timestamps.assign(10, std::chrono::steady_clock::now());
        bool result = true;
        Output o = capture([&, &call = call] { result = call(); });
        EXPECT_EQ(o.err, announcement);
        EXPECT_EQ(o.out, kLimitLine + red(prefix + kTooMany));
        EXPECT_FALSE(result);
    }
    EXPECT_TRUE(service->requests().empty());
}

}  // namespace
